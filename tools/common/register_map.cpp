#include "register_map.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct NamedType {
  const char* name;
  ValueType type;
  unsigned registers;
};

constexpr NamedType TYPES[] = {
    {"u16", ValueType::u16, 1},         {"s16", ValueType::s16, 1},         {"u32", ValueType::u32, 2},
    {"s32", ValueType::s32, 2},         {"u64", ValueType::u64, 4},         {"s64", ValueType::s64, 4},
    {"float32", ValueType::float32, 2}, {"float64", ValueType::float64, 4},
};

struct NamedOrder {
  const char* name;
  ByteOrder order;
};

constexpr NamedOrder ORDERS[] = {
    {"ABCD", ByteOrder::abcd}, {"CDAB", ByteOrder::cdab}, {"BADC", ByteOrder::badc}, {"DCBA", ByteOrder::dcba}};

bool parse_type(const std::string& text, ValueType& type) {
  for (const NamedType& entry : TYPES) {
    if (text == entry.name) {
      type = entry.type;
      return true;
    }
  }
  return false;
}

bool parse_order(const std::string& text, ByteOrder& order) {
  for (const NamedOrder& entry : ORDERS) {
    if (text == entry.name) {
      order = entry.order;
      return true;
    }
  }
  return false;
}

// A whole number in decimal or, after 0x, hexadecimal; nothing after it.
// A leading zero is no octal prefix: "010" is ten, as an integrator reads it.
bool parse_whole(const std::string& text, unsigned long limit, unsigned& value) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || std::isxdigit(static_cast<unsigned char>(digits[0])) == 0) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long number = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
  if (*end != '\0' || errno == ERANGE || number > limit) return false;
  value = static_cast<unsigned>(number);
  return true;
}

// A finite number; NaN or an infinity would turn every reading into one.
bool parse_scale(const std::string& text, double& scale) {
  char* end = nullptr;
  errno = 0;
  scale = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && errno != ERANGE && std::isfinite(scale);
}

// The next field of `content` after `at`, split at blanks as the C locale
// sees them; false when only blanks are left. (A string stream would do
// the same and bring the C++ runtime's locale machinery, most of a
// field tool's size, along.)
bool next_field(const std::string& content, std::size_t& at, std::string& field) {
  constexpr const char* BLANKS = " \t\n\v\f\r";
  std::size_t begin = content.find_first_not_of(BLANKS, at);
  if (begin == std::string::npos) return false;
  at = content.find_first_of(BLANKS, begin);
  field = content.substr(begin, at == std::string::npos ? std::string::npos : at - begin);
  return true;
}

// Why a line is no entry, or "" when it is one (or holds none).
std::string parse_entry(const std::string& line, RegisterMap& map) {
  std::string content = line.substr(0, line.find('#'));
  // A NUL would end a number early (strtoul stops there) and a control
  // character has no place in a name or unit the database keeps.
  for (std::size_t i = 0; i < content.size(); ++i) {
    auto byte = static_cast<unsigned char>(content[i]);
    if ((byte < 0x20 && std::isspace(byte) == 0) || byte == 0x7F) {
      char why[80];
      std::snprintf(why, sizeof why, "byte 0x%02x at column %zu is no character of a map", byte, i + 1);
      return why;
    }
  }
  std::array<std::string, 8> field;
  std::size_t count = 0;
  std::size_t read_to = 0;
  std::string extra;
  while (count < field.size() && next_field(content, read_to, field[count])) ++count;
  if (count == 0) return "";
  if (count < 7 || next_field(content, read_to, extra))
    return "expected 7 or 8 fields (meter [function] address name type order scale unit)";
  MappedValue value{};
  if (!parse_whole(field[0], 10, value.meter) || value.meter == 0) return "meter must be 1 to 10";
  // Without the function column every later field stands one to the left.
  std::size_t at = count == 8 ? 2 : 1;
  if (count == 8 && (!parse_whole(field[1], 4, value.function) || (value.function != 3 && value.function != 4)))
    return "function must be 3 (holding registers) or 4 (input registers)";
  if (!parse_whole(field[at], 0xFFFF, value.address)) return "address must be 0 to 65535";
  value.name = field[at + 1];
  if (!parse_type(field[at + 2], value.type)) return "type must be u16, s16, u32, s32, u64, s64, float32 or float64";
  if (!parse_order(field[at + 3], value.order)) return "order must be ABCD, CDAB, BADC or DCBA";
  if (!parse_scale(field[at + 4], value.scale)) return "scale must be a number";
  value.unit = field[at + 5] == "-" ? "" : field[at + 5];
  map.values.push_back(std::move(value));
  return "";
}

// The value's bytes, most significant first, from the wire in `order`.
std::uint64_t assemble(const std::uint8_t* data, unsigned registers, ByteOrder order) {
  std::uint64_t bits = 0;
  for (unsigned k = 0; k < registers; ++k) {
    bool words_reversed = order == ByteOrder::cdab || order == ByteOrder::dcba;
    bool bytes_swapped = order == ByteOrder::badc || order == ByteOrder::dcba;
    const std::uint8_t* word = data + 2 * static_cast<std::size_t>(words_reversed ? registers - 1 - k : k);
    std::uint8_t high = bytes_swapped ? word[1] : word[0];
    std::uint8_t low = bytes_swapped ? word[0] : word[1];
    bits = bits << 16 | static_cast<std::uint64_t>(high) << 8 | low;
  }
  return bits;
}

}  // namespace

bool parse_register_map(std::string_view text, const char* source, RegisterMap& map, std::string& error) {
  unsigned number = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = std::min(text.find('\n', at), text.size());
    ++number;
    std::string why = parse_entry(std::string(text.substr(at, end - at)), map);
    if (!why.empty()) {
      error = std::string(source) + ":" + std::to_string(number) + ": " + why;
      return false;
    }
    at = end + 1;
  }
  return true;
}

bool load_register_map(const char* path, RegisterMap& map, std::string& error) {
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path, "r"), &std::fclose);
  std::string text;
  char buffer[4096];
  for (std::size_t got; file && (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) text.append(buffer, got);
  if (!file || std::ferror(file.get()) != 0) {
    error = std::string(path) + ": " + std::strerror(errno);
    return false;
  }
  return parse_register_map(text, path, map, error);
}

unsigned register_count(ValueType type) {
  for (const NamedType& entry : TYPES)
    if (entry.type == type) return entry.registers;
  return 1;
}

const char* type_name(ValueType type) {
  for (const NamedType& entry : TYPES)
    if (entry.type == type) return entry.name;
  return "?";
}

const char* order_name(ByteOrder order) {
  for (const NamedOrder& entry : ORDERS)
    if (entry.order == order) return entry.name;
  return "?";
}

RawNumber decode_raw(const std::uint8_t* data, ValueType type, ByteOrder order) {
  std::uint64_t bits = assemble(data, register_count(type), order);
  RawNumber raw{RawNumber::Kind::unsigned_integer, bits, 0, 0.0};
  switch (type) {
    case ValueType::u16:
    case ValueType::u32:
    case ValueType::u64: break;
    case ValueType::s16: raw = {RawNumber::Kind::signed_integer, 0, static_cast<std::int16_t>(bits), 0.0}; break;
    case ValueType::s32: raw = {RawNumber::Kind::signed_integer, 0, static_cast<std::int32_t>(bits), 0.0}; break;
    case ValueType::s64: raw = {RawNumber::Kind::signed_integer, 0, static_cast<std::int64_t>(bits), 0.0}; break;
    case ValueType::float32:
      raw = {RawNumber::Kind::real, 0, 0, std::bit_cast<float>(static_cast<std::uint32_t>(bits))};
      break;
    case ValueType::float64: raw = {RawNumber::Kind::real, 0, 0, std::bit_cast<double>(bits)}; break;
  }
  return raw;
}

double scaled_value(const RawNumber& raw, double scale) {
  switch (raw.kind) {
    case RawNumber::Kind::unsigned_integer: return static_cast<double>(raw.unsigned_value) * scale;
    case RawNumber::Kind::signed_integer: return static_cast<double>(raw.signed_value) * scale;
    case RawNumber::Kind::real: return raw.real_value * scale;
  }
  return 0.0;
}

bool value_read_by(const MappedValue& value, unsigned function) {
  return value.function == 0 || value.function == function;
}

std::vector<Reading> readings_of(const RegisterMap& map, unsigned meter, unsigned function, unsigned start,
                                 const std::uint8_t* data, unsigned count) {
  std::vector<Reading> readings;
  for (const MappedValue& value : map.values) {
    if (value.meter != meter || !value_read_by(value, function) || value.address < start) continue;
    unsigned offset = value.address - start;
    if (offset + register_count(value.type) > count) continue;
    RawNumber raw = decode_raw(data + 2 * static_cast<std::size_t>(offset), value.type, value.order);
    readings.push_back({&value, raw, scaled_value(raw, value.scale)});
  }
  return readings;
}
