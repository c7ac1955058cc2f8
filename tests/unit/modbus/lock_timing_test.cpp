// The lock wait on a monotonic clock that has run past 2^31 and 2^32
// seconds. On a 32-bit board a clock reading that no longer fits a 32-bit
// time_t either fails (the wait would never end) or wraps (the wait would
// end at once); with 64-bit time the timeout holds. The test binary runs
// itself again as a helper, with the interposer that sets the clock.
#include "modbus/device_lock.h"
#include "sys/clock.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_root.h"
#include "sys/paths.h"

extern char** environ;

namespace {

static_assert(sizeof(std::time_t) == 8, "build with 64-bit time (_TIME_BITS=64 on 32-bit targets)");

std::int64_t boot_ms() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1'000'000;
}

struct HelperResult {
  bool finished = false;
  int status = -1;
  std::string report;
};

// Runs the helper with the clock starting at start_seconds; a helper that
// has not finished after a minute (the wait never ends) is killed.
HelperResult run_helper(const TempRoot& root, const std::string& start_seconds, int timeout_s) {
  std::array<char, 4096> self{};
  if (readlink("/proc/self/exe", self.data(), self.size() - 1) <= 0) return {};
  const std::string report_path = root.at("/helper.report");
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::vector<std::string> env_text = {
      std::string("LD_PRELOAD=") + INTERPOSE_MONOTONIC_CLOCK, "MS_MONOTONIC_START=" + start_seconds,
      "MS_HELPER_ROOT=" + root.path(), "MS_HELPER_REPORT=" + report_path,
      "MS_HELPER_TIMEOUT=" + std::to_string(timeout_s),
      // The sanitizer runtime wants to be first; the interposer must be.
      std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":verify_asan_link_order=0"};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    if (text.rfind("LD_PRELOAD=", 0) != 0 && text.rfind("ASAN_OPTIONS=", 0) != 0 && text.rfind("MS_", 0) != 0)
      env_text.push_back(text);
  }
  std::vector<char*> env;
  for (std::string& text : env_text) env.push_back(text.data());
  env.push_back(nullptr);
  std::string filter = "--gtest_filter=LockTimingHelper.DISABLED_WaitForHeldLock";
  std::string also = "--gtest_also_run_disabled_tests";
  char* argv[] = {self.data(), filter.data(), also.data(), nullptr};

  pid_t child = fork();
  if (child == 0) {
    int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, 1);
    execve(argv[0], argv, env.data());
    _exit(127);
  }
  HelperResult result;
  const std::int64_t give_up = boot_ms() + 60'000;
  while (waitpid(child, &result.status, WNOHANG) == 0) {
    if (boot_ms() > give_up) {
      kill(child, SIGKILL);
      waitpid(child, &result.status, 0);
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  result.finished = true;
  result.report = read_whole_file(report_path);
  return result;
}

// A live process that holds the line: `sleep`, killed and reaped at the end.
struct Holder {
  pid_t pid = fork();
  Holder() {
    if (pid == 0) {
      execlp("sleep", "sleep", "120", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Holder() {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
};

class LockTimingTest : public TempRootTest {};

// The whole-second deadline gives a wait of timeout to timeout + 1 seconds.
// The upper bound leaves room for slow runners and emulators; what it must
// catch is a wait that ends at once or never.
TEST_F(LockTimingTest, TheLockWaitKeepsItsTimeoutPastTwoToThe31And32Seconds) {
  struct Case {
    const char* start;  // monotonic seconds at the helper's first reading
    int timeout_s;
  } cases[] = {
      {"2147483647", 1},  // the deadline is 2^31: past a signed 32-bit second count
      {"2147483646", 2},
      {"4294967295", 1},  // the deadline is 2^32: past an unsigned one
      {"9000000000", 1},  // far beyond both
  };
  for (const Case& c : cases) {
    Holder holder;
    ASSERT_GT(holder.pid, 0);
    root.write_file("/var/lock/LCK..ttyS0", std::to_string(holder.pid) + "\n");
    HelperResult run = run_helper(root, c.start, c.timeout_s);
    ASSERT_TRUE(run.finished) << "clock at " << c.start << ": the wait did not end within a minute";
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << c.start << ": status " << run.status;
    long long result = -1, waited_ms = -1, first = -1, last = -1;
    ASSERT_EQ(std::sscanf(run.report.c_str(), "%lld %lld %lld %lld", &result, &waited_ms, &first, &last), 4)
        << run.report;
    EXPECT_EQ(result, 0) << c.start;  // the holder lives: no lock
    EXPECT_GE(first, std::strtoll(c.start, nullptr, 10)) << "the clock was not moved";
    EXPECT_GT(last, first + c.timeout_s) << c.start;
    EXPECT_GE(waited_ms, c.timeout_s * 1000 - 100) << c.start;
    EXPECT_LE(waited_ms, (c.timeout_s + 1) * 1000 + 20'000) << c.start;
    EXPECT_EQ(root.read_file("/var/lock/LCK..ttyS0"), std::to_string(holder.pid) + "\n");
  }
}

TEST_F(LockTimingTest, AFreeLockIsTakenAtOnceWithTheClockPastTwoToThe32Seconds) {
  HelperResult run = run_helper(root, "4294967300", 1);
  ASSERT_TRUE(run.finished);
  ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.status;
  long long result = -1, waited_ms = -1;
  ASSERT_EQ(std::sscanf(run.report.c_str(), "%lld %lld", &result, &waited_ms), 2) << run.report;
  EXPECT_EQ(result, 1);
  EXPECT_LT(waited_ms, 20'000);  // no pause at all; bound only against a stuck wait
}

// The helper: takes the lock below MS_HELPER_ROOT with MS_HELPER_TIMEOUT
// and reports "<result> <ms waited> <first clock reading> <last reading>".
TEST(LockTimingHelper, DISABLED_WaitForHeldLock) {
  const char* root = std::getenv("MS_HELPER_ROOT");
  const char* report = std::getenv("MS_HELPER_REPORT");
  const char* timeout = std::getenv("MS_HELPER_TIMEOUT");
  ASSERT_TRUE(root != nullptr && report != nullptr && timeout != nullptr);
  ASSERT_TRUE(paths_set_root(root));
  std::int64_t first = monotonic_seconds();
  std::int64_t begun = boot_ms();
  int result = lock_device("/dev/ttyS0", std::atoi(timeout));
  std::int64_t waited = boot_ms() - begun;
  std::int64_t last = monotonic_seconds();
  write_whole_file(report, std::to_string(result) + " " + std::to_string(waited) + " " + std::to_string(first) + " " +
                               std::to_string(last) + "\n");
}

}  // namespace
