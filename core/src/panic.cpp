#include "panic.hpp"

#include <cstdio>

namespace galdrin {

void panic(const std::string& message, std::source_location where) {
    std::fprintf(stderr, "quorral: internal failure at %s:%u: %s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), message.c_str());
    throw Panic(message);
}

}  // namespace galdrin
