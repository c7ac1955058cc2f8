#include "modbus/rs485.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "modbus/serial_port.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "sys/log.h"
#include "sys/paths.h"
#include "sys/unique_fd.h"

extern char** environ;

namespace {

// A read request of meter 1 for ten holding registers.
constexpr std::array<std::uint8_t, 8> REQUEST = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
constexpr const char* REQUEST_HEX = "01 03 00 00 00 0a c5 cd";

// ---------------------------------------------------------------------------
// Helper side: runs in a child process under the interposer, which records
// what the GPIO driver and the UART were asked; the helper adds its own
// observations and the daemon's messages to the same record.

void note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void note(const char* format, ...) {
  std::array<char, 512> line;
  va_list args;
  va_start(args, format);
  vsnprintf(line.data(), line.size(), format, args);
  va_end(args);
  if (FILE* record = std::fopen(std::getenv("MS_RECORD"), "a")) {
    std::fprintf(record, "%s\n", line.data());
    std::fclose(record);
  }
}

void note_message(int level, const char* text) { note("log %d %s", level, text); }

// What the far end of the line received, as hex; waits up to 2 s for
// `expected` bytes, since the pty hands them over asynchronously.
std::string received_hex(int master, std::size_t expected) {
  std::string hex;
  std::size_t received = 0;
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (received < expected && std::chrono::steady_clock::now() < give_up) {
    struct pollfd ready = {master, POLLIN, 0};
    if (poll(&ready, 1, 100) != 1) continue;
    std::array<std::uint8_t, 64> bytes{};
    ssize_t got = read(master, bytes.data(), bytes.size());
    for (ssize_t i = 0; i < got; ++i) {
      std::array<char, 4> text;
      snprintf(text.data(), text.size(), "%02x", bytes[static_cast<std::size_t>(i)]);
      hex += (hex.empty() ? "" : " ") + std::string(text.data());
    }
    received += got > 0 ? static_cast<std::size_t>(got) : 0;
  }
  return hex;
}

bool under_helper() { return std::getenv("MS_RECORD") != nullptr && paths_init_from_env(); }

TEST(Rs485Helper, DISABLED_QueryPortMode) {
  ASSERT_TRUE(under_helper());
  for (int not_ttys0 : {0, 1, 2, -1}) note("mode %d", query_port_mode(not_ttys0));
}

TEST(Rs485Helper, DISABLED_QueryWithoutThenWithDevice) {
  ASSERT_TRUE(under_helper());
  note("mode %d", query_port_mode(1));
  std::string gpio = std::string(path_root()) + GPIO_DEVICE;
  write_whole_file(gpio, "");
  note("mode %d", query_port_mode(1));
  note("mode %d", query_port_mode(1));
}

TEST(Rs485Helper, DISABLED_SendFrames) {
  ASSERT_TRUE(under_helper());
  log_set_capture(note_message);
  int master = -1;
  int slave = -1;
  std::array<char, 128> name{};
  ASSERT_EQ(openpty(&master, &slave, name.data(), nullptr, nullptr), 0);
  int fd = open_serial_port(name.data(), 9600, 8, "N", 1);
  set_receive_direction(fd);
  note("request");
  send_frame(fd, 1, REQUEST.data(), REQUEST.size(), 9600);
  note("empty request");
  send_frame(fd, 1, REQUEST.data(), 0, 9600);
  note("without rs485");
  send_frame(fd, 0, REQUEST.data(), REQUEST.size(), 9600);
  note("line %s", received_hex(master, 2 * REQUEST.size()).c_str());
  log_set_capture(nullptr);
}

// ---------------------------------------------------------------------------
// Test side.

struct HelperRun {
  int status = -1;
  std::vector<std::string> record;
  std::string output;
  double seconds = 0;
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Runs this test binary again as the named helper, with the interposer
// preloaded and the settings given as "NAME=value".
HelperRun run_helper(const TempRoot& root, const std::string& helper, std::vector<std::string> settings) {
  std::string record_path = root.at("/record");
  std::string output_path = root.at("/helper.out");
  std::array<char, 4096> self{};
  if (readlink("/proc/self/exe", self.data(), self.size() - 1) <= 0) return {};
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::vector<std::string> env_text = {
      std::string("LD_PRELOAD=") + INTERPOSE_RS485_LINE, "MS_RECORD=" + record_path, "METERSCRIBE_ROOT=" + root.path(),
      // The sanitizer runtime wants to be first; the interposer must be.
      std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":verify_asan_link_order=0"};
  for (std::string& setting : settings) env_text.push_back(std::move(setting));
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    if (text.rfind("LD_PRELOAD=", 0) != 0 && text.rfind("ASAN_OPTIONS=", 0) != 0 && text.rfind("MS_", 0) != 0 &&
        text.rfind("METERSCRIBE_", 0) != 0 && text.rfind("GTEST_", 0) != 0)
      env_text.push_back(text);
  }
  std::vector<char*> env;
  for (std::string& text : env_text) env.push_back(text.data());
  env.push_back(nullptr);
  std::string filter = "--gtest_filter=Rs485Helper.DISABLED_" + helper;
  std::string also = "--gtest_also_run_disabled_tests";
  char* argv[] = {self.data(), filter.data(), also.data(), nullptr};

  auto start = std::chrono::steady_clock::now();
  pid_t child = fork();
  if (child == 0) {
    int out = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(out, 2);
    execve(argv[0], argv, env.data());
    _exit(127);
  }
  HelperRun run;
  // A helper stuck on the line is killed rather than left to hang the suite.
  auto give_up = start + std::chrono::seconds(30);
  while (waitpid(child, &run.status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > give_up) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
      run.status = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.record = lines_of(read_whole_file(record_path));
  run.output = read_whole_file(output_path);
  return run;
}

using Lines = std::vector<std::string>;

TEST(Rs485, TheGpioRequestFollowsTheDeviceAndItsAnswerIsThePortMode) {
  struct Case {
    const char* answer;
    const char* mode;
  } cases[] = {{"3", "3"}, {"0", "0"}, {"1", "1"}, {"2", "2"}, {"4", "4"}, {"fail", "15"}};
  for (const Case& c : cases) {
    TempRoot root;
    root.write_file(GPIO_DEVICE, "");
    HelperRun run = run_helper(root, "QueryPortMode", {std::string("MS_GPIO_MODE=") + c.answer});
    ASSERT_EQ(run.status, 0) << run.output;
    std::string mode = std::string("mode ") + c.mode;
    // Opened once, read-write, and kept for the following requests.
    EXPECT_EQ(run.record, (Lines{"gpio open rw", "gpio request 0x80004209 argument 0", mode,
                                 "gpio request 0x8000420b argument 0", mode, "gpio request 0x8000420b argument 0", mode,
                                 "gpio request 0x8000420b argument 0", mode}))
        << "answer " << c.answer;
  }
}

// The setting itself is compared, exactly: daemon, check and probe ask
// with this flag.
TEST(Rs485, OnlyTheDeviceTtyS0AsksForTheFirstPort) {
  for (const char* device : {"ttyS1", "TTYS0", "ttyS0 ", "/dev/ttyS0", "ttyUSB0", ""})
    EXPECT_EQ(port_mode_flag(device), 1) << device;
  EXPECT_EQ(port_mode_flag("ttyS0"), 0);
}

// MOD_METERSCRIBE_RS485: the four words in any case, the empty text as
// gpio; anything else names no control (the daemon then reads gpio).
TEST(Rs485, TheControlIsNamedByItsWord) {
  const struct {
    const char* text;
    bool named;
    Rs485Control control;
  } cases[] = {{"gpio", true, Rs485Control::gpio},     {"", true, Rs485Control::gpio},
               {"kernel", true, Rs485Control::kernel}, {"KERNEL", true, Rs485Control::kernel},
               {"rts", true, Rs485Control::rts},       {"None", true, Rs485Control::none},
               {"kernal", false, Rs485Control::gpio},  {" rts", false, Rs485Control::gpio},
               {"1", false, Rs485Control::gpio}};
  for (const auto& c : cases) {
    Rs485Control control = Rs485Control::gpio;
    EXPECT_EQ(rs485_control_named(c.text, control), c.named) << c.text;
    EXPECT_EQ(control, c.control) << c.text;
    if (c.named) {
      EXPECT_STRCASEEQ(rs485_control_name(control), c.text[0] != '\0' ? c.text : "gpio");
    }
  }
}

TEST(Rs485, WithoutTheGpioDeviceTheQueryFailsAndIsTriedAgain) {
  TempRoot root;
  HelperRun run = run_helper(root, "QueryWithoutThenWithDevice", {"MS_GPIO_MODE=3"});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.record, (Lines{"gpio open failed", "mode 15", "gpio open rw", "gpio request 0x8000420b argument 0",
                               "mode 3", "gpio request 0x8000420b argument 0", "mode 3"}));
}

std::string line_bytes() { return std::string("line ") + REQUEST_HEX + " " + REQUEST_HEX; }

TEST(Rs485, RtsIsDroppedOnlyWhileTheFrameIsOnTheWire) {
  TempRoot root;
  HelperRun run = run_helper(root, "SendFrames", {});
  ASSERT_EQ(run.status, 0) << run.output;
  std::string write = std::string("write ") + REQUEST_HEX;
  EXPECT_EQ(run.record, (Lines{"RTS set", "request", "RTS clear", write, "LSR busy", "LSR empty", "RTS set",
                               // A zero-length request still turns the line around.
                               "empty request", "RTS clear", "write", "LSR empty", "RTS set",
                               "without rs485", write, line_bytes()}));
}

TEST(Rs485, AUartWithoutLineStatusEndsTheWaitWithOneMessagePerRequest) {
  TempRoot root;
  HelperRun run = run_helper(root, "SendFrames", {"MS_LSR=reject"});
  ASSERT_EQ(run.status, 0) << run.output;
  std::string error = "log 3 ioctl error: Inappropriate ioctl for device";
  std::string write = std::string("write ") + REQUEST_HEX;
  EXPECT_EQ(run.record, (Lines{"RTS set", "request", "RTS clear", write, "LSR rejected", error, "RTS set",
                               "empty request", "RTS clear", "write", "LSR rejected", error, "RTS set",
                               "without rs485", write, line_bytes()}));
}

TEST(Rs485, AUartThatNeverEmptiesIsWaitedForOnlyABoundedTime) {
  TempRoot root;
  HelperRun run = run_helper(root, "SendFrames", {"MS_LSR=never"});
  ASSERT_EQ(run.status, 0) << run.output;
  // Each wait is bounded by four frame times plus 100 ms; allow slow runners.
  EXPECT_LT(run.seconds, 5.0);
  std::string error = "log 3 ioctl error: Connection timed out";
  std::string write = std::string("write ") + REQUEST_HEX;
  EXPECT_EQ(run.record, (Lines{"RTS set", "request", "RTS clear", write, "LSR busy", error, "RTS set",
                               "empty request", "RTS clear", "write", "LSR busy", error, "RTS set",
                               "without rs485", write, line_bytes()}));
}

// A bare pty has no modem lines: every turn-around request fails, is logged,
// and the frame is still written.
TEST(Rs485, OnAPortWithoutModemLinesEveryFailureIsLoggedAndTheFrameStillSent) {
  int master = -1;
  int slave = -1;
  std::array<char, 128> name{};
  ASSERT_EQ(openpty(&master, &slave, name.data(), nullptr, nullptr), 0);
  unique_fd master_owner(master);
  unique_fd slave_owner(slave);
  unique_fd fd(open_serial_port(name.data(), 9600, 8, "N", 1));
  ASSERT_TRUE(fd.valid());
  LogCapture log;
  set_receive_direction(fd.get());
  send_frame(fd.get(), 1, REQUEST.data(), REQUEST.size(), 9600);
  std::vector<CapturedMessage> messages = log.messages();
  ASSERT_EQ(messages.size(), 4u);
  for (const CapturedMessage& message : messages) {
    EXPECT_EQ(message.level, LOG_ERR);
    EXPECT_EQ(message.text, "ioctl error: Inappropriate ioctl for device");
  }
  EXPECT_EQ(received_hex(master, REQUEST.size()), REQUEST_HEX);
}

}  // namespace
