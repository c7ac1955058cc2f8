#include "support/meter_sim_process.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

pid_t start_line_peer(std::vector<std::string> words, int limit_ms, std::string& device) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  int out[2];
  if (pipe(out) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string line;
  char c = 0;
  pollfd watch{out[0], POLLIN, 0};
  while (poll(&watch, 1, limit_ms) > 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  if (c == '\n') device = line;
  return pid;
}

void stop_line_peer(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  pid = -1;
}

MeterSimProcess::MeterSimProcess(const std::vector<std::string>& options) {
#ifdef MS_METER_SIM
  std::vector<std::string> words = {MS_METER_SIM};
  words.insert(words.end(), options.begin(), options.end());
  // The first line is the device name; wait for it at most 10 s.
  pid_ = start_line_peer(std::move(words), 10000, device_);
#else
  (void)options;
#endif
}

MeterSimProcess::~MeterSimProcess() { stop(); }

void MeterSimProcess::stop() { stop_line_peer(pid_); }
