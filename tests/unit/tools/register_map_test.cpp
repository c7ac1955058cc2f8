// The register map: every type in every byte order against wire bytes made
// apart from the decoder (the host's own bytes of a known value, put in
// big-endian order, then permuted as each order sends them), the values one
// response holds, and map files with their errors by file and line.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "register_map.h"
#include "support/temp_root.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

template <typename T>
Bytes big_endian(T value) {
  Bytes bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  if constexpr (std::endian::native == std::endian::little) std::reverse(bytes.begin(), bytes.end());
  return bytes;
}

// DCBA reverses every byte; BADC swaps the two bytes of each register; CDAB
// is both, which leaves the bytes in place and reverses the registers.
Bytes on_the_wire(Bytes bytes, ByteOrder order) {
  if (order == ByteOrder::dcba || order == ByteOrder::cdab) std::reverse(bytes.begin(), bytes.end());
  if (order == ByteOrder::badc || order == ByteOrder::cdab)
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
  return bytes;
}

struct TypeCase {
  ValueType type;
  Bytes big_endian;
  RawNumber expected;
};

template <typename T>
TypeCase whole(ValueType type, T value) {
  if constexpr (std::is_signed_v<T>)
    return {type, big_endian(value), {RawNumber::Kind::signed_integer, 0, value, 0.0}};
  else
    return {type, big_endian(value), {RawNumber::Kind::unsigned_integer, value, 0, 0.0}};
}

template <typename T>
TypeCase real(ValueType type, T value) {
  return {type, big_endian(value), {RawNumber::Kind::real, 0, 0, static_cast<double>(value)}};
}

// Kind and value in one comparable text; reals exactly, as hex floats.
std::string text_of(const RawNumber& raw) {
  char text[64];
  if (raw.kind == RawNumber::Kind::unsigned_integer)
    std::snprintf(text, sizeof text, "unsigned %llu", static_cast<unsigned long long>(raw.unsigned_value));
  else if (raw.kind == RawNumber::Kind::signed_integer)
    std::snprintf(text, sizeof text, "signed %lld", static_cast<long long>(raw.signed_value));
  else
    std::snprintf(text, sizeof text, "real %a", std::isnan(raw.real_value) ? NAN : raw.real_value);
  return text;
}

TEST(RegisterMapTest, EveryTypeInEveryOrderDecodesToTheValueItWasMadeFrom) {
  const TypeCase cases[] = {
      whole<std::uint16_t>(ValueType::u16, 0x1234),
      whole<std::uint16_t>(ValueType::u16, 0xFFFF),
      whole<std::int16_t>(ValueType::s16, -2),
      whole<std::int16_t>(ValueType::s16, std::numeric_limits<std::int16_t>::min()),
      whole<std::uint32_t>(ValueType::u32, 0x89ABCDEF),
      whole<std::int32_t>(ValueType::s32, -123456789),
      whole<std::uint64_t>(ValueType::u64, 0x0123456789ABCDEF),
      whole<std::uint64_t>(ValueType::u64, std::numeric_limits<std::uint64_t>::max()),
      whole<std::int64_t>(ValueType::s64, -9876543210),
      whole<std::int64_t>(ValueType::s64, std::numeric_limits<std::int64_t>::min()),
      real<float>(ValueType::float32, 230.5F),
      real<float>(ValueType::float32, -0.1F),
      real<float>(ValueType::float32, std::numeric_limits<float>::infinity()),
      real<float>(ValueType::float32, std::numeric_limits<float>::quiet_NaN()),
      real<double>(ValueType::float64, -1234.5678),
      real<double>(ValueType::float64, -std::numeric_limits<double>::infinity()),
      real<double>(ValueType::float64, std::numeric_limits<double>::quiet_NaN()),
  };
  for (const TypeCase& c : cases) {
    ASSERT_EQ(c.big_endian.size(), 2 * register_count(c.type));
    for (ByteOrder order : {ByteOrder::abcd, ByteOrder::cdab, ByteOrder::badc, ByteOrder::dcba}) {
      SCOPED_TRACE(std::string(type_name(c.type)) + " " + order_name(order));
      EXPECT_EQ(text_of(decode_raw(on_the_wire(c.big_endian, order).data(), c.type, order)), text_of(c.expected));
    }
  }
}

// A response of meter 2 to function 3: six holding registers from 10.
TEST(RegisterMapTest, AResponseHoldsTheValuesWhollyInsideItScaled) {
  RegisterMap map;
  auto add = [&map](unsigned meter, unsigned address, const char* name, ValueType type, double scale) {
    map.values.push_back({meter, address, name, type, ByteOrder::abcd, scale, ""});
  };
  add(2, 9, "before", ValueType::u16, 1);
  add(2, 10, "first", ValueType::u16, 1);
  add(2, 11, "negative", ValueType::s16, 0.5);
  add(2, 12, "pair", ValueType::u32, 0.01);
  add(1, 12, "other_meter", ValueType::u32, 1);
  add(2, 14, "last", ValueType::u32, 1000);
  add(2, 15, "partly_after", ValueType::u32, 1);
  map.values.push_back({2, 10, "input_table", ValueType::u16, ByteOrder::abcd, 1, "", 4});
  map.values.push_back({2, 13, "holding_table", ValueType::u16, ByteOrder::abcd, 1, "", 3});
  const std::uint8_t data[] = {0x00, 0x07, 0xFF, 0xFE, 0x00, 0x01, 0xE2, 0x40, 0x00, 0x00, 0x00, 0x03};
  std::vector<Reading> readings = readings_of(map, 2, 3, 10, data, 6);
  ASSERT_EQ(readings.size(), 5U);
  const struct {
    const char* name;
    double scaled;
  } expected[] = {{"first", 7}, {"negative", -1}, {"pair", 1234.56}, {"last", 3000}, {"holding_table", 0xE240}};
  for (std::size_t i = 0; i < readings.size(); ++i) {
    EXPECT_EQ(readings[i].value->name, expected[i].name);
    EXPECT_DOUBLE_EQ(readings[i].scaled, expected[i].scaled);
  }
  EXPECT_EQ(readings[2].raw.unsigned_value, 123456U);
}

class RegisterMapFileTest : public TempRootTest {};

TEST_F(RegisterMapFileTest, AMapFileIsReadWithCommentsBlankLinesAndLineEndsOfEitherKind) {
  root.write_file("/map",
                  "# meter address name type order scale unit\n"
                  "\n"
                  "1 0x0048 import float32 CDAB 1 kWh  # total\r\n"
                  "10 010 count u64 DCBA 0.001 -\n"
                  "   # indented comment\n"
                  "2 65535 last s16 BADC -1e3 m3/h\n"
                  "3 4 7 input u16 ABCD 1 -\n"
                  "3 3 0x7 holding u16 ABCD 1 -");
  RegisterMap map;
  std::string error;
  ASSERT_TRUE(load_register_map(root.at("/map").c_str(), map, error)) << error;
  ASSERT_EQ(map.values.size(), 5U);
  EXPECT_EQ(map.values[0].function, 0U);  // without the column: the meter's own function
  EXPECT_EQ(map.values[3].function, 4U);
  EXPECT_EQ(map.values[3].address, 7U);
  EXPECT_EQ(map.values[3].name, "input");
  EXPECT_EQ(map.values[4].function, 3U);
  const MappedValue& import = map.values[0];
  EXPECT_EQ(import.meter, 1U);
  EXPECT_EQ(import.address, 0x48U);
  EXPECT_EQ(import.name, "import");
  EXPECT_EQ(import.type, ValueType::float32);
  EXPECT_EQ(import.order, ByteOrder::cdab);
  EXPECT_EQ(import.unit, "kWh");
  EXPECT_EQ(map.values[1].meter, 10U);
  EXPECT_EQ(map.values[1].address, 10U);  // decimal, not octal
  EXPECT_EQ(map.values[1].unit, "");
  EXPECT_EQ(map.values[2].scale, -1000.0);
  EXPECT_EQ(map.values[2].unit, "m3/h");
}

TEST(RegisterMapTest, TheExampleMapIsValidAndFitsTheRequestItSuggests) {
  RegisterMap map;
  std::string error;
  ASSERT_TRUE(load_register_map(MS_SOURCE_DIR "/etc/registers.example", map, error)) << error;
  ASSERT_EQ(map.values.size(), 12U);
  for (const MappedValue& value : map.values) EXPECT_LE(value.address + register_count(value.type), 76U) << value.name;
}

TEST_F(RegisterMapFileTest, ABadEntryIsReportedByFileAndLine) {
  const struct {
    std::string entry;
    const char* why;
  } cases[] = {
      {"1 0 a u16 ABCD 1", "expected 7 or 8 fields (meter [function] address name type order scale unit)"},
      // A NUL would end the number early: 1 of "1\0 junk".
      {std::string("1 0 a u16 ABCD 1\0junk V", 23), "byte 0x00 at column 17 is no character of a map"},
      {"1 0 a\x01" "b u16 ABCD 1 V", "byte 0x01 at column 6 is no character of a map"},
      {"1 3 0 a u16 ABCD 1 V extra", "expected 7 or 8 fields (meter [function] address name type order scale unit)"},
      {"1 0 a u16 ABCD 1 V extra", "function must be 3 (holding registers) or 4 (input registers)"},
      {"1 1 0 a u16 ABCD 1 V", "function must be 3 (holding registers) or 4 (input registers)"},
      {"1 5 0 a u16 ABCD 1 V", "function must be 3 (holding registers) or 4 (input registers)"},
      {"1 4 0x a u16 ABCD 1 V", "address must be 0 to 65535"},
      {"0 0 a u16 ABCD 1 V", "meter must be 1 to 10"},
      {"11 0 a u16 ABCD 1 V", "meter must be 1 to 10"},
      {"-1 0 a u16 ABCD 1 V", "meter must be 1 to 10"},
      {"1 65536 a u16 ABCD 1 V", "address must be 0 to 65535"},
      {"1 0x a u16 ABCD 1 V", "address must be 0 to 65535"},
      {"1 0x-5 a u16 ABCD 1 V", "address must be 0 to 65535"},
      {"1 12a a u16 ABCD 1 V", "address must be 0 to 65535"},
      {"1 0 a int16 ABCD 1 V", "type must be u16, s16, u32, s32, u64, s64, float32 or float64"},
      {"1 0 a u16 abcd 1 V", "order must be ABCD, CDAB, BADC or DCBA"},
      {"1 0 a u16 ABCD 1x V", "scale must be a number"},
      {"1 0 a u16 ABCD nan V", "scale must be a number"},
      {"1 0 a u16 ABCD 1e999 V", "scale must be a number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    root.write_file("/map", std::string("# two good lines first\n1 0 a u16 ABCD 1 V\n") + c.entry + "\n");
    RegisterMap map;
    std::string error;
    EXPECT_FALSE(load_register_map(root.at("/map").c_str(), map, error));
    EXPECT_EQ(error, root.at("/map") + ":3: " + c.why);
  }
  RegisterMap map;
  std::string error;
  EXPECT_FALSE(load_register_map(root.at("/missing").c_str(), map, error));
  EXPECT_EQ(error, root.at("/missing") + ": No such file or directory");
}

}  // namespace
