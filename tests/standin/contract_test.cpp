// The binary contract seen from both sides: the parameter block the stand-in
// renderer lays out from the shader's declaration (tools/Nimbrel.mi) against
// the block the library reads, and the shading-state offsets the stand-in
// states against the library's record of the state.
#include <gtest/gtest.h>

#include <cstddef>

#include "renderer/declaration.h"
#include "renderer/standin.h"
#include "shader/volume_records.h"

namespace {

TEST(Declaration, NamesTheShaderVersion1ReturningAColour) {
    const standin::Declaration &d = standin::nimbrel_declaration();
    ASSERT_TRUE(d.complete) << "no complete declare shader ... end declare block";
    EXPECT_EQ(d.name, "Nimbrel");
    EXPECT_EQ(d.result_type, "color");
    EXPECT_EQ(d.version, "1");
}

TEST(Declaration, LaysEveryParameterOnItsFieldOfTheBlock) {
    const struct {
        const char *type, *name;
        size_t offset;
    } fields[] = {
        {"string", "filename", offsetof(VolumeParams, filename)},
        {"vector", "coord", offsetof(VolumeParams, coord)},
        {"integer", "slices", offsetof(VolumeParams, slices)},
        {"integer", "interpolation", offsetof(VolumeParams, interpolation)},
        {"integer", "filetype", offsetof(VolumeParams, filetype)},
        {"integer", "width", offsetof(VolumeParams, width)},
        {"integer", "height", offsetof(VolumeParams, height)},
        {"integer", "little_endian", offsetof(VolumeParams, little_endian)},
    };
    const standin::Declaration &d = standin::nimbrel_declaration();
    ASSERT_EQ(d.parameters.size(), sizeof fields / sizeof fields[0]);
    for (size_t i = 0; i < d.parameters.size(); ++i) {
        const standin::DeclaredParameter &p = d.parameters[i];
        EXPECT_EQ(p.name, fields[i].name) << "parameter " << i;
        EXPECT_EQ(p.type, fields[i].type) << p.name;
        EXPECT_EQ(p.offset, fields[i].offset) << p.name;
    }
    EXPECT_EQ(d.block_size, sizeof(VolumeParams));
}

TEST(Declaration, ParserLaysOutTheDeclareBlock) {
    const standin::Declaration d = standin::parse_declaration(
        "# comment\ndeclare shader color \"S\" (\n  integer \"a\", # trailing\n"
        "  vector \"b\", color \"c\", string \"d\"\n)\nversion 3 apply texture end declare");
    ASSERT_TRUE(d.complete);
    ASSERT_EQ(d.parameters.size(), 4u);
    EXPECT_EQ(d.parameters[1].name, "b");
    EXPECT_EQ(d.parameters[2].offset, 16u);
    EXPECT_EQ(d.parameters[3].offset, 32u);
    EXPECT_EQ(d.block_size, 36u);
    EXPECT_EQ(d.version, "3");
    EXPECT_FALSE(
        standin::parse_declaration("declare shader color \"S\" ( integer \"a\" )").complete);
    EXPECT_FALSE(
        standin::parse_declaration("declare shader color \"S\" ( matrix \"m\" ) end declare")
            .complete);
}

TEST(StateLayout, TheRenderersOffsetsAreTheLibrarys) {
    EXPECT_EQ(offsetof(miState, point), standin::STATE_POINT);
    EXPECT_EQ(offsetof(miState, shader), standin::STATE_SHADER);
    EXPECT_EQ(offsetof(miState, exchange), standin::STATE_EXCHANGE);
    EXPECT_EQ(offsetof(miShaderRecord, connection_offset), standin::SHADER_CONNECTION_OFFSET);
}

} // namespace
