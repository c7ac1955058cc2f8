#include "meters.h"

#include <new>

namespace meter_sim {
namespace {

// The whole address space, so that any start address a master is set up with
// can be read without an illegal-address exception.
constexpr int kTableSize = 65536;

void fill_static(modbus_mapping_t* map, int address) {
  for (int i = 0; i < kTableSize; ++i) {
    const auto low = static_cast<unsigned>(i & 0xFF);
    map->tab_registers[i] = static_cast<std::uint16_t>((static_cast<unsigned>(address) << 8) | low);
    map->tab_input_registers[i] =
        static_cast<std::uint16_t>((static_cast<unsigned>(address | 0x80) << 8) | low);
    map->tab_bits[i] = (i + address) % 3 == 0 ? 1 : 0;
    map->tab_input_bits[i] = (i + address) % 2 == 0 ? 1 : 0;
  }
}

void put_u32(std::uint16_t* registers, std::uint32_t value) {
  registers[0] = static_cast<std::uint16_t>(value >> 16);
  registers[1] = static_cast<std::uint16_t>(value & 0xFFFF);
}

}  // namespace

Meters::Meters(const std::set<int>& addresses) {
  for (const int address : addresses) {
    modbus_mapping_t* map = modbus_mapping_new(kTableSize, kTableSize, kTableSize, kTableSize);
    if (map == nullptr) {
      throw std::bad_alloc();
    }
    fill_static(map, address);
    maps_[address] = map;
  }
  update(0);
}

Meters::~Meters() {
  for (const auto& [address, map] : maps_) {
    modbus_mapping_free(map);
  }
}

modbus_mapping_t* Meters::mapping(int address) const {
  const auto found = maps_.find(address);
  return found == maps_.end() ? nullptr : found->second;
}

void Meters::update(std::uint32_t seconds) {
  for (const auto& [address, map] : maps_) {
    const auto step = static_cast<std::uint32_t>(address);
    const std::uint32_t energy = step * 1000U + step * seconds;
    put_u32(&map->tab_registers[0], energy);
    put_u32(&map->tab_registers[2], seconds);
    put_u32(&map->tab_input_registers[0], energy);
    put_u32(&map->tab_input_registers[2], seconds);
    map->tab_bits[0] = (seconds & 1U) != 0 ? 1 : 0;
  }
}

}  // namespace meter_sim
