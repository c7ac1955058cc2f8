// The register map: what the registers of each meter mean. One line per
// value: meter, function (optional), address, name, type, order, scale, unit.
//
//   # meter  function  address  name          type     order  scale  unit
//   1        4         0x0000   voltage_l1    float32  ABCD   1      V
//   1        4         0x0046   frequency     float32  ABCD   1      Hz
//   2                  12       energy_import u32      CDAB   0.01   kWh
//
// meter is the 1-based meter number of the settings file; function, when a
// line has eight fields, is the table the value lives in, 3 (holding
// registers) or 4 (input registers): a meter's holding register 0 and its
// input register 0 are different values, and a line names one of them.
// Without it (seven fields) the value belongs to whatever table the meter
// is polled with. address is the 0-based protocol address as it goes on the
// wire (decimal, or hexadecimal after 0x), not a 1-based register number
// such as 30001 or 40001; type is one of u16,
// s16, u32, s32, u64, s64, float32, float64; order names where the bytes
// of the value stand on the wire, A the most significant: ABCD (big-endian
// throughout), CDAB (words swapped), BADC (bytes swapped within each word),
// DCBA (little-endian throughout); scale multiplies the raw number; unit
// is free text without blanks, "-" for none. Blank lines and text after
// '#' are ignored; a control character elsewhere makes the line bad. The field tools use the map; the daemon never reads it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class ValueType { u16, s16, u32, s32, u64, s64, float32, float64 };
enum class ByteOrder { abcd, cdab, badc, dcba };

struct MappedValue {
  unsigned meter;    // 1-based, as in the settings file
  unsigned address;  // first register of the value
  std::string name;
  ValueType type;
  ByteOrder order;
  double scale;
  std::string unit;  // "" for none
  unsigned function = 0;  // 3 or 4; 0: the function the meter is polled with
};

struct RegisterMap {
  std::vector<MappedValue> values;  // in the order of the file
};

// Reads a map file. False with `error` set to "<path>:<line>: <why>" for the
// first line that is not a valid entry, or "<path>: <why>" when the file
// cannot be read.
bool load_register_map(const char* path, RegisterMap& map, std::string& error);

// The same for a map's text; `source` names it in the error.
bool parse_register_map(std::string_view text, const char* source, RegisterMap& map, std::string& error);

// Registers a value of the type takes: 1, 2 or 4.
unsigned register_count(ValueType type);

const char* type_name(ValueType type);
const char* order_name(ByteOrder order);

// A number as the wire holds it, before scaling.
struct RawNumber {
  enum class Kind { unsigned_integer, signed_integer, real } kind;
  std::uint64_t unsigned_value;
  std::int64_t signed_value;
  double real_value;
};

// The number of `type` whose register_count(type) registers start at
// `data` (two bytes each, as received), read in `order`.
RawNumber decode_raw(const std::uint8_t* data, ValueType type, ByteOrder order);

// The raw number times the value's scale, as a double (integers of more
// than 53 bits lose their last digits here; the raw number keeps them).
double scaled_value(const RawNumber& raw, double scale);

// One value of the map found in a response.
struct Reading {
  const MappedValue* value;
  RawNumber raw;
  double scaled;
};

// True when `value` lives in the table that `function` reads.
bool value_read_by(const MappedValue& value, unsigned function);

// The values of the map that lie wholly inside the registers of one
// response of meter `meter` (1-based) to `function`: `count` registers from
// address `start`, their bytes at `data`. Values only partly inside, and
// values of the other register table, are left out.
std::vector<Reading> readings_of(const RegisterMap& map, unsigned meter, unsigned function, unsigned start,
                                 const std::uint8_t* data, unsigned count);
