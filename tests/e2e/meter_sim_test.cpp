// The meter simulator itself, run as a real process on a real pseudo-terminal:
// the end-to-end tests of the logger rely on its answers being exactly these.
#ifdef MS_METER_SIM

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/crc16_reference.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// The tests' own CRC, so these tests share no code with either the
// simulator or the logger.
Bytes with_crc(Bytes frame) {
  const std::uint16_t crc = crc16_reference(frame, frame.size());
  frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(crc >> 8));
  return frame;
}

Bytes read_request(int address, int function, int start, int quantity) {
  return with_crc({static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(function),
                   static_cast<std::uint8_t>(start >> 8), static_cast<std::uint8_t>(start & 0xFF),
                   static_cast<std::uint8_t>(quantity >> 8),
                   static_cast<std::uint8_t>(quantity & 0xFF)});
}

int millis_left(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The simulator as a child process; its first output line names the line.
class MeterSim {
 public:
  explicit MeterSim(const std::vector<std::string>& args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      std::vector<char*> argv{const_cast<char*>(MS_METER_SIM)};
      for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
      }
      argv.push_back(nullptr);
      execv(MS_METER_SIM, argv.data());
      _exit(127);
    }
    close(out[1]);
    stdout_ = out[0];
    name_ = read_first_line();
  }
  ~MeterSim() {
    stop();
    if (stdout_ >= 0) {
      close(stdout_);
    }
  }
  MeterSim(const MeterSim&) = delete;
  MeterSim& operator=(const MeterSim&) = delete;

  pid_t pid() const { return pid_; }
  // The device name relative to /dev, "" when none was printed in time.
  const std::string& name() const { return name_; }

  // Waits for the process to end by itself; its wait status, or -1.
  int wait_for_exit(milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!reaped_ && pid_ > 0) {
      if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        reaped_ = true;
      } else if (millis_left(deadline) == 0) {
        return -1;
      } else {
        usleep(20000);
      }
    }
    return status_;
  }

  // Asks the process to end and reaps it; its wait status.
  int stop() {
    if (!reaped_ && pid_ > 0) {
      kill(pid_, SIGTERM);
      if (wait_for_exit(milliseconds(10000)) == -1) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        reaped_ = true;
      }
    }
    return status_;
  }

 private:
  std::string read_first_line() {
    std::string line;
    const auto deadline = Clock::now() + milliseconds(10000);
    char c = 0;
    while (millis_left(deadline) > 0) {
      pollfd watch{stdout_, POLLIN, 0};
      if (poll(&watch, 1, millis_left(deadline)) <= 0 || read(stdout_, &c, 1) != 1) {
        break;
      }
      if (c == '\n') {
        return line;
      }
      line += c;
    }
    return "";
  }

  pid_t pid_ = -1;
  int stdout_ = -1;
  int status_ = -1;
  bool reaped_ = false;
  std::string name_;
};

// The master's end of the line: the pty slave, opened raw as the logger does.
class Port {
 public:
  explicit Port(const std::string& name) : fd_(open(("/dev/" + name).c_str(), O_RDWR | O_NOCTTY)) {
    termios settings{};
    if (fd_ >= 0 && tcgetattr(fd_, &settings) == 0) {
      cfmakeraw(&settings);
      tcsetattr(fd_, TCSANOW, &settings);
    }
  }
  ~Port() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  bool is_open() const { return fd_ >= 0; }
  void send(const Bytes& bytes) const {
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What one read yields once something has arrived, waiting at most `limit`.
  Bytes read_once(milliseconds limit) const {
    pollfd watch{fd_, POLLIN, 0};
    Bytes bytes(1024);
    if (poll(&watch, 1, static_cast<int>(limit.count())) <= 0) {
      return {};
    }
    const ssize_t count = read(fd_, bytes.data(), bytes.size());
    bytes.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    return bytes;
  }
  // Collects bytes until `want` have arrived or `limit` has passed.
  Bytes receive(std::size_t want, milliseconds limit) const {
    const auto deadline = Clock::now() + limit;
    Bytes all;
    while (all.size() < want && millis_left(deadline) > 0) {
      const Bytes part = read_once(milliseconds(millis_left(deadline)));
      all.insert(all.end(), part.begin(), part.end());
    }
    return all;
  }

 private:
  int fd_;
};

// Generous: a loaded runner may be slow, never the other way round.
constexpr milliseconds kAnswerLimit(5000);

std::uint32_t be32(const Bytes& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) << 24 | static_cast<std::uint32_t>(bytes[at + 1]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
}

TEST(MeterSim, AnswersTheThreeReadFunctionsPerAddress) {
  MeterSim sim({"--slaves", "1,2"});
  ASSERT_FALSE(sim.name().empty());
  Port port(sim.name());
  ASSERT_TRUE(port.is_open());

  // Holding register R of slave A holds (A << 8) | R.
  port.send(read_request(1, 3, 100, 2));
  EXPECT_EQ(port.receive(9, kAnswerLimit), with_crc({0x01, 0x03, 0x04, 0x01, 0x64, 0x01, 0x65}));
  // Input register R of slave A holds ((A | 0x80) << 8) | R.
  port.send(read_request(2, 4, 16, 1));
  EXPECT_EQ(port.receive(7, kAnswerLimit), with_crc({0x02, 0x04, 0x02, 0x82, 0x10}));
  // Coils 8 to 17 of slave 2: on where (C + 2) % 3 == 0, that is 10, 13 and 16.
  port.send(read_request(2, 1, 8, 10));
  EXPECT_EQ(port.receive(7, kAnswerLimit), with_crc({0x02, 0x01, 0x02, 0x24, 0x01}));

  EXPECT_EQ(sim.stop(), 0);
}

TEST(MeterSim, CountersAdvanceWithTime) {
  MeterSim sim({"--slave", "2"});
  Port port(sim.name());
  ASSERT_TRUE(port.is_open());

  // Input registers 0-3: energy 2000 + 2 * seconds, then seconds, both 32 bits.
  const auto read_counters = [&port] {
    port.send(read_request(2, 4, 0, 4));
    const Bytes answer = port.receive(13, kAnswerLimit);
    EXPECT_EQ(answer.size(), 13U);
    EXPECT_EQ(answer, with_crc(Bytes(answer.begin(), answer.begin() + 11)));
    return answer.size() == 13 ? std::pair{be32(answer, 3), be32(answer, 7)} : std::pair{0U, 0U};
  };
  const auto [energy_before, seconds_before] = read_counters();
  usleep(2200000);
  const auto [energy_after, seconds_after] = read_counters();
  EXPECT_EQ(energy_before, 2000 + 2 * seconds_before);
  EXPECT_EQ(energy_after, 2000 + 2 * seconds_after);
  EXPECT_GT(seconds_after, seconds_before);

  EXPECT_EQ(sim.stop(), 0);
}

class MeterSimFaults : public ::testing::Test {
 protected:
  MeterSim sim{{"--slaves", "1", "--silent", "2", "--exception", "3:4", "--bad-crc", "4",
                "--chunks", "5:3:400", "--oversize", "6:400", "--late", "7:1500"}};
};

TEST_F(MeterSimFaults, SilentUnknownAndCorruptRequestsGetNothing) {
  Port port(sim.name());
  ASSERT_TRUE(port.is_open());
  Bytes corrupt = read_request(1, 3, 0, 1);
  corrupt[7] ^= 0x01;
  port.send(read_request(2, 3, 0, 1));
  port.send(read_request(9, 3, 0, 1));
  port.send(corrupt);
  EXPECT_EQ(port.receive(1, milliseconds(1500)), Bytes{});
  // Still serving, and nothing else was queued before this answer.
  port.send(read_request(1, 3, 100, 1));
  EXPECT_EQ(port.receive(7, kAnswerLimit), with_crc({0x01, 0x03, 0x02, 0x01, 0x64}));
  EXPECT_EQ(sim.stop(), 0);
}

TEST_F(MeterSimFaults, ExceptionAndBadCrcAnswers) {
  Port port(sim.name());
  ASSERT_TRUE(port.is_open());
  port.send(read_request(3, 3, 0, 1));
  EXPECT_EQ(port.receive(5, kAnswerLimit), with_crc({0x03, 0x83, 0x04}));

  Bytes spoiled = with_crc({0x04, 0x03, 0x02, 0x04, 0x64});
  spoiled.back() ^= 0xFF;
  port.send(read_request(4, 3, 100, 1));
  EXPECT_EQ(port.receive(7, kAnswerLimit), spoiled);
  EXPECT_EQ(sim.stop(), 0);
}

TEST_F(MeterSimFaults, ChunkedOversizeAndLateAnswers) {
  Port port(sim.name());
  ASSERT_TRUE(port.is_open());
  const Bytes chunked = with_crc({0x05, 0x03, 0x04, 0x05, 0x64, 0x05, 0x65});
  port.send(read_request(5, 3, 100, 2));
  Bytes arrived = port.read_once(kAnswerLimit);
  EXPECT_LT(arrived.size(), chunked.size()) << "expected the first of three pieces alone";
  const Bytes rest = port.receive(chunked.size() - arrived.size(), kAnswerLimit);
  arrived.insert(arrived.end(), rest.begin(), rest.end());
  EXPECT_EQ(arrived, chunked);

  // 400 bytes: the normal reply, then filler counting up from 0.
  Bytes oversize = with_crc({0x06, 0x03, 0x02, 0x06, 0x64});
  for (std::uint8_t filler = 0; oversize.size() < 400; ++filler) {
    oversize.push_back(filler);
  }
  port.send(read_request(6, 3, 100, 1));
  EXPECT_EQ(port.receive(400, kAnswerLimit), oversize);
  EXPECT_EQ(port.receive(1, milliseconds(300)), Bytes{});

  port.send(read_request(7, 3, 100, 1));
  EXPECT_EQ(port.receive(1, milliseconds(1000)), Bytes{}) << "answered before the master gave up";
  EXPECT_EQ(port.receive(7, kAnswerLimit), with_crc({0x07, 0x03, 0x02, 0x07, 0x64}));
  EXPECT_EQ(sim.stop(), 0);
}

TEST(MeterSim, LinkPidFileAndExitAfter) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("meter-sim-test-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const auto link = dir / "meter";
  const auto pidfile = dir / "pid";
  {
    MeterSim sim({"--link", link.string(), "--pidfile", pidfile.string(), "--exit-after", "2"});
    ASSERT_FALSE(sim.name().empty());
    EXPECT_EQ(std::filesystem::read_symlink(link), "/dev/" + sim.name());
    std::string pid_text;
    std::ifstream(pidfile) >> pid_text;
    EXPECT_EQ(pid_text, std::to_string(sim.pid()));
    const int status = sim.wait_for_exit(milliseconds(15000));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  EXPECT_FALSE(std::filesystem::exists(pidfile));
  std::filesystem::remove_all(dir);
}

}  // namespace

#endif  // MS_METER_SIM
