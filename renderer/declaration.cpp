#include "renderer/declaration.h"

#include <cctype>

#include "standin_declaration.h" // nimbrel_declaration_text, the text of tools/Nimbrel.mi

namespace standin {
namespace {

// Words, quoted names and the punctuation ( ) , of a declaration; '#' starts
// a comment up to the end of the line.
std::vector<std::string> tokens_of(const std::string &text) {
    std::vector<std::string> tokens;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '#') {
            while (i < text.size() && text[i] != '\n')
                ++i;
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

std::string unquoted(const std::string &word) {
    return word.size() >= 2 && word.front() == '"' && word.back() == '"'
               ? word.substr(1, word.size() - 2)
               : word;
}

size_t size_of(const std::string &type) {
    if (type == "string" || type == "integer" || type == "scalar" || type == "boolean") return 4;
    if (type == "vector") return 12;
    if (type == "color") return 16;
    return 0;
}

} // namespace

Declaration parse_declaration(const std::string &text) {
    const std::vector<std::string> tokens = tokens_of(text);
    Declaration d;
    size_t i = 0;
    auto next = [&]() { return i < tokens.size() ? tokens[i++] : std::string(); };
    if (next() != "declare" || next() != "shader") return d;
    d.result_type = next();
    d.name = unquoted(next());
    if (next() != "(") return d;
    bool known_types = true;
    while (i < tokens.size() && tokens[i] != ")") {
        DeclaredParameter p;
        p.type = next();
        p.name = unquoted(next());
        p.offset = d.block_size;
        p.size = size_of(p.type);
        known_types = known_types && p.size != 0;
        d.block_size += p.size;
        d.parameters.push_back(p);
        if (i < tokens.size() && tokens[i] == ",") ++i;
    }
    if (next() != ")") return d;
    for (std::string word = next(); !word.empty(); word = next()) {
        if (word == "version") d.version = next();
        if (word == "end") {
            d.complete = next() == "declare" && known_types;
            break;
        }
    }
    return d;
}

const Declaration &nimbrel_declaration() {
    static const Declaration declaration = parse_declaration(nimbrel_declaration_text);
    return declaration;
}

const DeclaredParameter *find_parameter(const Declaration &declaration, const std::string &name) {
    for (const DeclaredParameter &p : declaration.parameters)
        if (p.name == name) return &p;
    return nullptr;
}

} // namespace standin
