#include "support/pymodbus_slave_process.h"

#include <cstdlib>

#include "support/meter_sim_process.h"

bool PymodbusSlaveProcess::available() {
  std::string command = std::string(PYTHON) + " -c 'import pymodbus.server, serial_asyncio' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

PymodbusSlaveProcess::PymodbusSlaveProcess(const std::vector<std::string>& options) {
  std::vector<std::string> words = {PYTHON, MS_SOURCE_DIR "/tests/support/pymodbus_slave.py"};
  words.insert(words.end(), options.begin(), options.end());
  // The first line is the device name, printed once the server has its
  // port open; the interpreter and pymodbus take a moment to load.
  pid_ = start_line_peer(std::move(words), 20000, device_);
}

PymodbusSlaveProcess::~PymodbusSlaveProcess() { stop_line_peer(pid_); }
