// What the daemon knows of one meter on the line.
#pragma once

#include <cstdint>

// The five per-meter settings; each unsigned 32-bit, cut to the width of its
// frame field when a request is built.
struct MeterConfig {
  std::uint32_t addr;       // slave address; 0 ends the list of meters
  std::uint32_t start;      // first register or coil
  std::uint32_t reg_count;  // registers (functions 3, 4); words of coils (function 1)
  std::uint32_t bin_count;  // coils (function 1)
  std::uint32_t func;       // 1 read coils, 3 read holding, 4 read input registers
};
