// CRC-16, request building and response checking: the work done for every
// exchange on the line.
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "modbus/rtu_frame.h"

namespace {

void BM_modbus_crc16(benchmark::State& state) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(state.range(0)));
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
  for (auto _ : state) {
    benchmark::DoNotOptimize(bytes.data());
    benchmark::DoNotOptimize(modbus_crc16(bytes.data(), static_cast<unsigned>(bytes.size())));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
// 6: a request without its CRC; 25: a ten-register answer; 255: the
// longest answer a meter may send.
BENCHMARK(BM_modbus_crc16)->Arg(6)->Arg(25)->Arg(255)->Arg(4096);

void BM_build_request(benchmark::State& state) {
  MeterConfig meter{17, 0x1234, 10, 0, 3};
  std::uint8_t frame[REQUEST_SIZE];
  for (auto _ : state) {
    benchmark::DoNotOptimize(meter);
    benchmark::DoNotOptimize(build_request(frame, meter));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_build_request);

// A valid function-3 answer of `registers` words from slave 17.
std::vector<std::uint8_t> answer(unsigned registers) {
  std::vector<std::uint8_t> frame = {17, 3, static_cast<std::uint8_t>(2 * registers)};
  for (unsigned i = 0; i < 2 * registers; ++i) frame.push_back(static_cast<std::uint8_t>(i));
  frame.resize(frame.size() + 2);
  append_crc(frame.data(), static_cast<unsigned>(frame.size() - 2));
  return frame;
}

void BM_check_response_valid(benchmark::State& state) {
  std::vector<std::uint8_t> frame = answer(static_cast<unsigned>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(frame.data());
    benchmark::DoNotOptimize(check_response(frame.data(), 0, static_cast<unsigned>(frame.size())));
  }
}
BENCHMARK(BM_check_response_valid)->Arg(10)->Arg(125);

// A refused answer also formats its message (dropped here, syslog live).
void BM_check_response_bad_crc(benchmark::State& state) {
  silence_messages();
  std::vector<std::uint8_t> frame = answer(10);
  frame.back() ^= 0xFF;
  for (auto _ : state) {
    benchmark::DoNotOptimize(frame.data());
    benchmark::DoNotOptimize(check_response(frame.data(), 0, static_cast<unsigned>(frame.size())));
  }
}
BENCHMARK(BM_check_response_bad_crc);

}  // namespace
