#include "shortest_real.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <type_traits>

namespace {

// A positive decimal d.ddd × 10^exponent, its digits as characters.
struct Decimal {
  char digits[24];
  int count;
  int exponent;
};

template <typename Real>
bool reads_back(const char* text, Real value) {
  // A float read as a double and then narrowed would be rounded twice.
  if constexpr (std::is_same_v<Real, float>)
    return std::strtof(text, nullptr) == value;
  else
    return std::strtod(text, nullptr) == value;
}

// "d.ddde+xx" as printf writes it.
Decimal parse_scientific(const char* text) {
  Decimal decimal{};
  const char* at = text;
  for (; *at != 'e'; ++at)
    if (*at != '.') decimal.digits[decimal.count++] = *at;
  decimal.exponent = static_cast<int>(std::strtol(at + 1, nullptr, 10));
  return decimal;
}

void write_scientific(char* text, std::size_t size, const Decimal& decimal) {
  std::snprintf(text, size, "%c%s%.*se%+03d", decimal.digits[0], decimal.count > 1 ? "." : "", decimal.count - 1,
                decimal.digits + 1, decimal.exponent);
}

// The decimal of as many digits one unit of the last digit higher.
Decimal next_up(Decimal decimal) {
  int at = decimal.count - 1;
  for (; at >= 0 && decimal.digits[at] == '9'; --at) decimal.digits[at] = '0';
  if (at >= 0) {
    ++decimal.digits[at];
  } else {
    decimal.digits[0] = '1';
    ++decimal.exponent;
  }
  return decimal;
}

// The decimal of `count` digits nearest to `value` that reads back as it,
// if one does. printf rounds to the nearest decimal; where the value is a
// power of two, the next value below lies twice as close as the next one
// above, and the nearest decimal below may miss where the one above it
// still reads back.
template <typename Real>
bool decimal_of_length(Real value, int count, Decimal& decimal) {
  char text[40];
  std::snprintf(text, sizeof text, "%.*e", count - 1, static_cast<double>(value));
  decimal = parse_scientific(text);
  if (reads_back(text, value)) return true;
  decimal = next_up(decimal);
  write_scientific(text, sizeof text, decimal);
  return reads_back(text, value);
}

// A length that reads back makes every longer one read back too, so the
// shortest is found by halving; max_digits10 always reads back.
template <typename Real>
Decimal shortest_decimal(Real value) {
  int shortest = 1;
  int longest = std::numeric_limits<Real>::max_digits10;
  Decimal decimal{};
  Decimal tried{};
  bool found = false;
  while (shortest < longest) {
    int middle = (shortest + longest) / 2;
    if (decimal_of_length(value, middle, tried)) {
      longest = middle;
      decimal = tried;
      found = true;
    } else {
      shortest = middle + 1;
    }
  }
  if (!found) decimal_of_length(value, longest, decimal);
  while (decimal.count > 1 && decimal.digits[decimal.count - 1] == '0') --decimal.count;
  return decimal;
}

int scientific_length(const Decimal& decimal) {
  int exponent_digits = std::abs(decimal.exponent) >= 100 ? 3 : 2;
  return decimal.count + (decimal.count > 1 ? 1 : 0) + 2 + exponent_digits;
}

int fixed_length(const Decimal& decimal) {
  if (decimal.exponent >= decimal.count - 1) return decimal.exponent + 1;
  if (decimal.exponent >= 0) return decimal.count + 1;
  return decimal.count + 1 - decimal.exponent;
}

// The digits with the point put in, or zeros put before them.
void write_fixed(char* text, std::size_t size, const Decimal& decimal) {
  char digits[48];
  std::size_t length = 0;
  auto put = [&](char c, int times) {
    for (int k = 0; k < times; ++k) digits[length++] = c;
  };
  int count = decimal.count;
  int point = decimal.exponent + 1;  // digits before the point
  if (point <= 0) {
    put('0', 1);
    put('.', 1);
    put('0', -point);
  }
  for (int k = 0; k < count; ++k) {
    if (k == point && point > 0) put('.', 1);
    put(decimal.digits[k], 1);
  }
  std::snprintf(text, size, "%.*s", static_cast<int>(length), digits);
}

template <typename Real>
void real_text(char* text, std::size_t size, Real value) {
  if (std::signbit(value)) {
    *text++ = '-';
    --size;
    value = -value;
  }
  if (std::isinf(value)) {
    std::snprintf(text, size, "inf");
    return;
  }
  if (value == 0) {
    std::snprintf(text, size, "0");
    return;
  }
  Decimal decimal = shortest_decimal(value);
  // A whole number in fixed notation is written exactly, all its digits,
  // as the runtime does: 190944592, not 190944590.
  if (fixed_length(decimal) > scientific_length(decimal))
    write_scientific(text, size, decimal);
  else if (decimal.exponent >= decimal.count - 1)
    std::snprintf(text, size, "%.0f", static_cast<double>(value));
  else
    write_fixed(text, size, decimal);
}

}  // namespace

void shortest_real_text(char* text, std::size_t size, double value) { real_text(text, size, value); }
void shortest_real_text(char* text, std::size_t size, float value) { real_text(text, size, value); }
