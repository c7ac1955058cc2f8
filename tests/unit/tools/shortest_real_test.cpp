// The field tools' shortest text of a float or double against the C++
// runtime's own std::to_chars, which it stands in for: the same bytes for
// values where the choices are made (signs, zeros, infinities, powers of
// two and ten and their neighbours, whole numbers past the digits a type
// holds, the ends of the ranges) and for a seeded sweep over all bit
// patterns.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shortest_real.h"

namespace {

template <typename Real>
void expect_runtime_text(Real value) {
  if (std::isnan(value)) return;  // the caller's to show
  char expected[64];
  auto result = std::to_chars(expected, expected + sizeof expected - 1, value);
  *result.ptr = '\0';
  char text[32];
  shortest_real_text(text, sizeof text, value);
  EXPECT_STREQ(text, expected) << (sizeof value == 4 ? "float " : "double ") << std::bit_cast<
      std::conditional_t<sizeof value == 4, std::uint32_t, std::uint64_t>>(value);
}

template <typename Real>
std::vector<Real> chosen_values() {
  using limits = std::numeric_limits<Real>;
  std::vector<Real> values = {0,  -0.0f, limits::infinity(), -limits::infinity(), limits::min(), limits::max(),
                              limits::denorm_min(), limits::lowest(), 230.5f, 0.1f, 1e5f, 123456, 1e-5f};
  for (int power = limits::min_exponent - limits::digits; power <= limits::max_exponent; ++power) {
    Real two = std::ldexp(Real{1}, power);
    values.insert(values.end(), {two, std::nextafter(two, Real{0}), std::nextafter(two, limits::max()), 3 * two});
  }
  for (int power = limits::min_exponent10 - 1; power <= limits::max_exponent10; ++power) {
    auto ten = static_cast<Real>(std::pow(10.0, power));
    values.insert(values.end(), {ten, std::nextafter(ten, Real{0}), std::nextafter(ten, limits::max())});
  }
  return values;
}

template <typename Bits>
void sweep(int count) {
  std::mt19937_64 random(20);
  using Real = std::conditional_t<sizeof(Bits) == 4, float, double>;
  for (int k = 0; k < count; ++k) expect_runtime_text(std::bit_cast<Real>(static_cast<Bits>(random())));
}

TEST(ShortestRealText, WritesWhatTheRuntimeWrites) {
  for (float value : chosen_values<float>()) expect_runtime_text(value);
  for (double value : chosen_values<double>()) expect_runtime_text(value);
  sweep<std::uint32_t>(20000);
  sweep<std::uint64_t>(20000);
}

}  // namespace
