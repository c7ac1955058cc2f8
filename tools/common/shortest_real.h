// Floating-point values as the shortest text that reads back as the same
// number of the value's own width: "230.5", "-2.4178e-41", "1e+20".
//
// The text is what std::to_chars(first, last, value) writes: the fewest
// significant digits that read back exactly (of several, the nearest), in
// fixed notation when that is no longer than scientific ("%e" style, at
// least two exponent digits), "inf", "-inf", "0" and "-0". The C++
// runtime's own routine brings tables of several hundred kilobytes into a
// field tool linked with the runtime; the C library's correctly rounded
// printf and strtod find the same digits by trying each length in turn.
#pragma once

#include <cstddef>

// NaN is for the caller to show; `size` of 32 holds any result.
void shortest_real_text(char* text, std::size_t size, double value);
void shortest_real_text(char* text, std::size_t size, float value);
