// The float arithmetic every build must have for the lookup's exact results:
// each float operation rounded to 32 bits (SSE, not the x87 unit's wider
// registers) and no multiply-add fused into one rounding. Compiled with the
// same options as the library.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <cstring>

static_assert(FLT_EVAL_METHOD == 0, "float expressions must be evaluated in float (SSE on 32-bit x86)");

namespace {

// Kept out of line and fed through volatiles so that nothing is folded at
// compile time: the operations run as the build compiles them.
__attribute__((noinline)) float multiply_add(float a, float b, float c) { return a * b + c; }
__attribute__((noinline)) float sum_of_three(float a, float b, float c) { return a + b + c; }

uint32_t bits(float value) {
    uint32_t word;
    memcpy(&word, &value, sizeof word);
    return word;
}

TEST(FloatBuild, MultiplyAddRoundsTheProductFirst) {
    // (1 + 2^-23)^2 = 1 + 2^-22 + 2^-46: the product rounds to 1 + 2^-22, so
    // the sum is 0; a fused multiply-add would keep 2^-46.
    volatile float a = 1.0f + FLT_EPSILON, c = -(1.0f + 2 * FLT_EPSILON);
    EXPECT_EQ(bits(multiply_add(a, a, c)), bits(0.0f));
}

TEST(FloatBuild, EverySumIsRoundedToFloat) {
    // 2^24 + 1 is not a float: rounded after the first addition it is 2^24
    // again, and adding -2^24 leaves 0. Kept in wider registers it gives 1.
    volatile float big = 16777216.0f, one = 1.0f;
    EXPECT_EQ(bits(sum_of_three(big, one, -big)), bits(0.0f));
}

} // namespace
