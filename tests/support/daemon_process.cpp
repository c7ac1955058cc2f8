#include "support/daemon_process.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/reliability.h"
#include "support/temp_root.h"

#include <gtest/gtest.h>

extern char** environ;

namespace {

// METERSCRIBE_TEST_WRAPPER, split at blanks: words put before the daemon's
// path, such as "valgrind --log-file=...". Empty when unset.
std::vector<std::string> wrapper_words() {
  std::vector<std::string> words;
  const char* text = std::getenv("METERSCRIBE_TEST_WRAPPER");
  std::string word;
  for (const char* c = text != nullptr ? text : ""; *c != '\0'; ++c) {
    if (*c != ' ') {
      word += *c;
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

}  // namespace

DaemonProcess::DaemonProcess(const std::string& root, std::vector<std::string> extra_env, const std::string& binary) {
  stderr_path_ = root + "/daemon.stderr";
  std::vector<std::string> env_text = {"METERSCRIBE_ROOT=" + root, "METERSCRIBE_LOG_STDERR=1"};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    if (text.rfind("METERSCRIBE_", 0) != 0) env_text.push_back(text);
  }
  for (std::string& text : extra_env) env_text.push_back(std::move(text));
  std::vector<char*> env;
  for (std::string& text : env_text) env.push_back(text.data());
  env.push_back(nullptr);
  std::vector<std::string> words = wrapper_words();
  wrapped_ = !words.empty();
  words.push_back(binary);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(err, 2);
    if (wrapped_) {
      execvpe(argv[0], argv.data(), env.data());
    } else {
      execve(argv[0], argv.data(), env.data());
    }
    _exit(127);
  }
}

// A wrapped daemon (valgrind) gets SIGTERM first, which the wrapper turns
// into its final report; SIGKILL only if it does not end in time.
namespace {

// A sanitizer build of the daemon reports what it finds on standard error
// and may well go on running: such a report fails the test that ran it.
void expect_no_sanitizer_report(const std::string& messages) {
  for (const char* marker :
       {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer", "runtime error:"}) {
    std::size_t at = messages.find(marker);
    if (at != std::string::npos) ADD_FAILURE() << "the daemon reported:\n" << messages.substr(at, 4000);
  }
}

}  // namespace

DaemonProcess::~DaemonProcess() {
  if (wrapped_ && pid_ > 0 && !reaped_) {
    kill(pid_, SIGTERM);
    if (wait_for_exit(std::chrono::milliseconds(10000)) == -1) stop(SIGKILL);
  }
  stop(SIGKILL);
  expect_no_sanitizer_report(messages());
}

int DaemonProcess::wait_for_exit(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + slow(limit);
  while (!reaped_) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      return status;
    }
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

std::string DaemonProcess::messages() const { return read_whole_file(stderr_path_); }

bool DaemonProcess::wait_for_message(const std::string& text, std::chrono::milliseconds limit) const {
  auto deadline = std::chrono::steady_clock::now() + slow(limit);
  while (messages().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void DaemonProcess::stop(int signal_number) {
  if (pid_ <= 0 || reaped_) return;
  kill(pid_, signal_number);
  int status = 0;
  waitpid(pid_, &status, 0);
  reaped_ = true;
}

int count_occurrences(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (std::size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
  return n;
}
