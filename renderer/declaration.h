// A shader's declaration as the renderer reads it (the `declare shader ...
// end declare` block of a .mi file), and the parameter block laid out from it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace standin {

struct DeclaredParameter {
    std::string type, name; // name without its quotes
    size_t offset, size;    // in the parameter block
};

struct Declaration {
    std::string result_type, name;
    std::string version;
    std::vector<DeclaredParameter> parameters;
    size_t block_size = 0;
    bool complete = false; // "end declare" reached and every parameter type known
};

// Parses the first `declare shader` block of `text` and lays its parameters
// out one after another, as the renderer does: string (a tag), integer,
// scalar and boolean 4 bytes, vector 12, color 16.
Declaration parse_declaration(const std::string &text);

// The declaration of the Nimbrel shader built with this tree (Nimbrel.mi).
const Declaration &nimbrel_declaration();

// The parameter called `name`, or null.
const DeclaredParameter *find_parameter(const Declaration &declaration, const std::string &name);

} // namespace standin
