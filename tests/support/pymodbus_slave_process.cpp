#include "support/pymodbus_slave_process.h"

#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

bool PymodbusSlaveProcess::available() {
  std::string command = std::string(PYTHON) + " -c 'import pymodbus.server, serial_asyncio' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

PymodbusSlaveProcess::PymodbusSlaveProcess(const std::vector<std::string>& options) {
  std::vector<std::string> words = {PYTHON, MS_SOURCE_DIR "/tests/support/pymodbus_slave.py"};
  words.insert(words.end(), options.begin(), options.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  int out[2];
  if (pipe(out) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  // The first line is the device name, printed once the server has its
  // port open; the interpreter and pymodbus take a moment to load.
  std::string line;
  char c = 0;
  pollfd watch{out[0], POLLIN, 0};
  while (poll(&watch, 1, 20000) > 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  if (c == '\n') device_ = line;
}

PymodbusSlaveProcess::~PymodbusSlaveProcess() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
}
