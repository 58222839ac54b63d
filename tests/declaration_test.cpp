// The shader's declaration for the renderer (tools/Nimbrel.mi) against the
// parameter block the library reads: the renderer lays the block out from the
// declaration, so every parameter must land on its field's byte offset.
#include <gtest/gtest.h>

#include <cctype>
#include <cstddef>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "shader/volume_records.h"

namespace {

// Words, quoted names and the punctuation ( ) , of a declaration file; '#'
// starts a comment up to the end of the line.
std::vector<std::string> tokens_of(const std::string &text) {
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '#') {
            while (i < text.size() && text[i] != '\n') ++i;
        } else if (isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '"') {
            const size_t end = text.find('"', i + 1);
            tokens.push_back(text.substr(i, end == std::string::npos ? end : end + 1 - i));
            i = end == std::string::npos ? text.size() : end + 1;
        } else if (c == '(' || c == ')' || c == ',') {
            tokens.push_back(std::string(1, c));
            ++i;
        } else {
            size_t end = i;
            while (end < text.size() && !isspace(static_cast<unsigned char>(text[end])) &&
                   std::string("(),\"#").find(text[end]) == std::string::npos)
                ++end;
            tokens.push_back(text.substr(i, end - i));
            i = end;
        }
    }
    return tokens;
}

struct Parameter {
    std::string type, name;
};

struct Declaration {
    std::string result_type, name;
    std::vector<Parameter> parameters;
    std::string version;
    bool complete = false; // "end declare" reached
};

// The one `declare shader` block of the file.
Declaration parse(const std::vector<std::string> &tokens) {
    Declaration d;
    size_t i = 0;
    auto next = [&]() { return i < tokens.size() ? tokens[i++] : std::string(); };
    if (next() != "declare" || next() != "shader") return d;
    d.result_type = next();
    d.name = next();
    if (next() != "(") return d;
    while (i < tokens.size() && tokens[i] != ")") {
        Parameter p;
        p.type = next();
        p.name = next();
        d.parameters.push_back(p);
        if (i < tokens.size() && tokens[i] == ",") ++i;
    }
    if (next() != ")") return d;
    for (std::string word = next(); !word.empty(); word = next()) {
        if (word == "version") d.version = next();
        if (word == "end") {
            d.complete = next() == "declare";
            break;
        }
    }
    return d;
}

Declaration declaration() {
    std::ifstream file(NIMBREL_DECLARATION);
    std::stringstream text;
    text << file.rdbuf();
    return parse(tokens_of(text.str()));
}

// Bytes a parameter of each declared type takes in the block: a string is a
// 32-bit tag, a vector three floats.
size_t size_of(const std::string &type) {
    if (type == "string" || type == "integer" || type == "scalar" || type == "boolean") return 4;
    if (type == "vector") return 12;
    if (type == "color") return 16;
    return 0;
}

TEST(Declaration, NamesTheShaderVersion1ReturningAColour) {
    const Declaration d = declaration();
    ASSERT_TRUE(d.complete) << "no complete declare shader ... end declare block in " << NIMBREL_DECLARATION;
    EXPECT_EQ(d.name, "\"Nimbrel\"");
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
    const Declaration d = declaration();
    ASSERT_EQ(d.parameters.size(), sizeof fields / sizeof fields[0]);
    size_t offset = 0;
    for (size_t i = 0; i < d.parameters.size(); ++i) {
        const Parameter &p = d.parameters[i];
        EXPECT_EQ(p.name, std::string("\"") + fields[i].name + "\"") << "parameter " << i;
        EXPECT_EQ(p.type, fields[i].type) << p.name;
        EXPECT_EQ(offset, fields[i].offset) << p.name;
        ASSERT_NE(size_of(p.type), 0u) << p.type;
        offset += size_of(p.type);
    }
    EXPECT_EQ(offset, sizeof(VolumeParams));
}

TEST(Declaration, ParserReadsTheDeclareBlock) {
    const Declaration d = parse(tokens_of("# comment\ndeclare shader color \"S\" (\n"
                                          "  integer \"a\", # trailing\n  vector \"b\"\n)\n"
                                          "version 3 apply texture end declare"));
    ASSERT_TRUE(d.complete);
    ASSERT_EQ(d.parameters.size(), 2u);
    EXPECT_EQ(d.parameters[1].type, "vector");
    EXPECT_EQ(d.parameters[1].name, "\"b\"");
    EXPECT_EQ(d.version, "3");
    EXPECT_FALSE(parse(tokens_of("declare shader color \"S\" ( integer \"a\" )")).complete);
}

} // namespace
