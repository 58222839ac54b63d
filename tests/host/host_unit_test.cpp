// The wrappers of the renderer's functions, called directly: the library's
// objects are linked into this program, which also provides the renderer.
#include <gtest/gtest.h>

#include "host/host_api.h"
#include "renderer/standin.h"

namespace {

TEST(Wrappers, QueryPassesTheFifthArgumentForCodes15And127) {
    standin::Renderer renderer;
    miSetModuleHandle(standin::Renderer::program_handle());
    standin::State state;
    int extra = 0;
    void *result = nullptr;
    for (int code : {15, 127}) {
        renderer.last_query_extra = nullptr;
        nimbrel::mi_query(code, state.raw(), 0, &result, &extra);
        EXPECT_EQ(renderer.last_query_extra, &extra) << "code " << code;
    }
}

TEST(Wrappers, MissingFunctionsAnswerZeroValues) {
    standin::Renderer renderer;
    renderer.log().set_echo(false);
    miSetModuleHandle(nullptr);
    standin::State state;
    int value = 5;
    float matrix[16] = {7.0f};
    testing::internal::CaptureStderr();
    EXPECT_EQ(nimbrel::mi_phen_eval(state.raw(), &value), nullptr);
    EXPECT_EQ(nimbrel::mi_mem_int_allocate(__FILE__, __LINE__, 16), nullptr);
    EXPECT_EQ(nimbrel::mi_query(51, state.raw(), 0, &value), 0);
    EXPECT_EQ(nimbrel::mi_db_access(1), nullptr);
    nimbrel::mi_matrix_ident(matrix);
    nimbrel::mi_flush_cache(state.raw());
    nimbrel::mi_mem_int_release(__FILE__, __LINE__, &value);
    nimbrel::mi_error("lost %d", 1);
    const std::string reported = testing::internal::GetCapturedStderr();
    EXPECT_EQ(matrix[0], 7.0f);
    EXPECT_EQ(state.flushes, 0u);
    EXPECT_TRUE(renderer.log().all().empty());
    for (const char *name : {"mi_phen_eval", "mi_mem_int_allocate", "mi_query", "mi_db_access",
                             "mi_matrix_ident", "mi_flush_cache", "mi_mem_int_release", "mi_error"})
        EXPECT_NE(reported.find(std::string("dlsym failed on \"") + name + "\" (handle: 00000000"),
                  std::string::npos)
            << name;
}

} // namespace
