// Fuzzes the register map parser (parse_register_map, which
// load_register_map runs on a file's text) and the values it then finds in
// a response. The input's head is a response: meter, function, start
// address, register count and data; the rest is the map's text.
//
// Checked:
// - a refused map says "map:<line>: <why>";
// - every value of a map taken has a meter 1 to 10, a function 0, 3 or 4,
//   an address below 65536, a name and unit of visible characters without
//   blanks or '#', a known type and a finite scale;
// - readings_of hands on only values of that meter and register table that
//   lie wholly inside the response's registers, each once.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "register_map.h"

namespace {

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "register_map_fuzz: %s\n", what);
  std::abort();
}

bool visible_word(const std::string& text, bool may_be_empty) {
  if (text.empty()) return may_be_empty;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || c == '#') return false;
  }
  return true;
}

void check_value(const MappedValue& value) {
  check(value.meter >= 1 && value.meter <= 10, "a meter outside 1 to 10");
  check(value.function == 0 || value.function == 3 || value.function == 4, "a function other than 3 or 4");
  check(value.address <= 0xFFFF, "an address beyond 65535");
  check(visible_word(value.name, false), "a name that is no visible word");
  check(visible_word(value.unit, true) && value.unit != "-", "a unit that is no visible word");
  unsigned registers = register_count(value.type);
  check(registers == 1 || registers == 2 || registers == 4, "a type of no known size");
  check(std::isfinite(value.scale), "a scale that is not finite");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  unsigned meter = input.ConsumeIntegralInRange<unsigned>(1, 10);
  unsigned function = input.ConsumeBool() ? 3 : 4;
  unsigned start = input.ConsumeIntegral<std::uint16_t>();
  unsigned count = input.ConsumeIntegralInRange<unsigned>(0, 125);
  std::vector<std::uint8_t> registers = input.ConsumeBytes<std::uint8_t>(2 * count);
  registers.resize(2 * count);
  std::string text = input.ConsumeRemainingBytesAsString();
  RegisterMap map;
  std::string error;
  if (!parse_register_map(text, "map", map, error)) {
    check(error.compare(0, 4, "map:") == 0 && error.find(": ", 4) != std::string::npos, "an error without its line");
    return 0;
  }
  for (const MappedValue& value : map.values) check_value(value);
  std::set<const MappedValue*> seen;
  for (const Reading& reading : readings_of(map, meter, function, start, registers.data(), count)) {
    const MappedValue& value = *reading.value;
    check(value.meter == meter && value_read_by(value, function), "a reading of another meter or table");
    check(value.address >= start && value.address + register_count(value.type) <= start + count,
          "a reading not wholly inside the response");
    check(seen.insert(&value).second, "a value read twice");
    RawNumber raw = decode_raw(registers.data() + 2 * (value.address - start), value.type, value.order);
    check(raw.kind == reading.raw.kind, "a raw number of another kind");
  }
  return 0;
}
