// Internal failures: a broken invariant, never a numeric condition. The
// message goes to stderr at the point of failure, then travels as an exception
// to the binding boundary.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace galdrin {

class Panic : public std::exception {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

[[noreturn]] void panic(const std::string& message, std::source_location where = std::source_location::current());

}  // namespace galdrin
