// Reading the settings file of a full gateway: ten meters. Done once at
// start-up; every key rescans the file from its first line.
#include <string>

#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "daemon/context.h"

namespace {

std::string ten_meter_settings() {
  std::string text =
      "MOD_METERSCRIBE_ENABLED=1\n"
      "MOD_METERSCRIBE_DEVICE=\"ttyS1\"\n"
      "MOD_METERSCRIBE_BAUDRATE=9600\n"
      "MOD_METERSCRIBE_DATABITS=8\n"
      "MOD_METERSCRIBE_PARITY=\"N\"\n"
      "MOD_METERSCRIBE_STOPBITS=1\n"
      "MOD_METERSCRIBE_SPLIT=100\n"
      "MOD_METERSCRIBE_PERIOD=60\n"
      "MOD_METERSCRIBE_PORT=21\n"
      "MOD_METERSCRIBE_CACHE=\"\"\n"
      "MOD_METERSCRIBE_CACHE_DIR=\"meters\"\n"
      "MOD_METERSCRIBE_FTPES_ENABLED=1\n"
      "MOD_METERSCRIBE_TLS_AUTH_TYPE=\"TLS\"\n"
      "MOD_METERSCRIBE_REMOTE_URL=\"ftp://upload.example.net/incoming\"\n"
      "MOD_METERSCRIBE_USERNAME=\"gateway-0042\"\n"
      "MOD_METERSCRIBE_PASSWORD=\"s3cret-passw0rd\"\n"
      "MOD_METERSCRIBE_SEND_PERIOD=15\n"
      "MOD_METERSCRIBE_START_ADDR=0\n";
  for (int slot = 1; slot <= 10; ++slot) {
    std::string n = std::to_string(slot);
    text += "MOD_METERSCRIBE_ADDR" + n + "=" + n + "\n";
    text += "MOD_METERSCRIBE_FUNC" + n + "=" + (slot % 3 == 0 ? "4" : "3") + "\n";
    text += "MOD_METERSCRIBE_START" + n + "=" + std::to_string(slot * 100) + "\n";
    text += "MOD_METERSCRIBE_REG_COUNT" + n + "=10\n";
    text += "MOD_METERSCRIBE_BIN_COUNT" + n + "=0\n";
  }
  return text;
}

void BM_load_settings(benchmark::State& state) {
  ScratchDir scratch;
  std::string path = scratch.at("settings");
  write_file(path, ten_meter_settings());
  for (auto _ : state) {
    DaemonContext context{};
    load_settings_from(&context, path.c_str());
    benchmark::DoNotOptimize(context.meters[9].addr);
    state.PauseTiming();
    release_context(&context);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_load_settings)->Unit(benchmark::kMicrosecond);

}  // namespace
