// Text form of a double shared by every repr: the shortest digits that read
// back to the same double, laid out positionally without an exponent.
#pragma once

#include <cstddef>
#include <string>

namespace galdrin {

// Longest output: "-0." followed by 323 zeros and 17 digits.
inline constexpr std::size_t FORMAT_BUFFER_SIZE = 352;

// Writes the text of v into out (FORMAT_BUFFER_SIZE bytes) and returns its length.
std::size_t format_double(double v, char* out);
std::string format_double(double v);

// Fixed notation with exactly `precision` digits after the point.
std::string format_fixed(double v, int precision);

}  // namespace galdrin
