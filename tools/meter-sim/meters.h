// The simulated meters: one libmodbus register map per slave address, with
// a few values that move like an energy meter's counters.
#pragma once

#include <cstdint>
#include <map>
#include <set>

#include <modbus.h>

namespace meter_sim {

class Meters {
 public:
  explicit Meters(const std::set<int>& addresses);
  ~Meters();
  Meters(const Meters&) = delete;
  Meters& operator=(const Meters&) = delete;

  // The map of a served address, or null.
  modbus_mapping_t* mapping(int address) const;
  // Brings the live values up to `seconds` since start.
  void update(std::uint32_t seconds);

 private:
  std::map<int, modbus_mapping_t*> maps_;
};

}  // namespace meter_sim
