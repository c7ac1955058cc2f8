// How each RS-485 control (MOD_METERSCRIBE_RS485) drives the line: the
// ioctls that the real daemon and the real probe make on a simulated
// meter's pseudo terminal, recorded by the interposer that plays the
// gateway's GPIO driver and the UART (modem lines, line status, the
// driver's RS-485 mode).
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/gateway_root.h"

using namespace std::chrono_literals;

namespace {

using Lines = std::vector<std::string>;

Lines operator+(Lines first, const Lines& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

class Rs485ModesTest : public GatewayRootTest {
 protected:
  // The interposer for a run that records into `record`, with the
  // driver's behaviour given as "MS_...=..." words.
  std::vector<std::string> interposed(const std::string& record, const std::vector<std::string>& driver) const {
    std::vector<std::string> env = {std::string("LD_PRELOAD=") + INTERPOSE_RS485_LINE, "MS_RECORD=" + record,
                                    asan_options_for_preload()};
    env.insert(env.end(), driver.begin(), driver.end());
    return env;
  }

  // The probe, by default on the daemon's settings, to its end; returns
  // its wait status.
  int run_probe(const std::vector<std::string>& env, const std::string& arguments = "") const {
    std::string command = "env METERSCRIBE_ROOT=" + root.path();
    for (const std::string& word : env) command += " '" + word + "'";
    command += std::string(" " MS_PROBE_TOOL " ") +
               (arguments.empty() ? "--settings " + root.at(SETTINGS_PATH) : arguments) + " >" +
               root.at("/probe.out") + " 2>" + root.at("/probe.err");
    return std::system(command.c_str());
  }

  Lines record_of(const std::string& relative) const { return complete_lines(root.read_file(relative)); }
};

// Each row runs the daemon to its first answer (or its exit) and then the
// probe once; both must ask the same of the line.
TEST_F(Rs485ModesTest, EachControlDrivesTheLineWithItsOwnIoctls) {
  if (!start_sim({"--slaves", "1"})) GTEST_SKIP() << "meter simulator not available";
  root.write_file(GPIO_DEVICE, "");
  const std::string path = "/dev/" + sim->device();
  const std::string request = "write 01 03 00 00 00 06 c5 c8";
  const Lines asked = {"gpio open rw", "gpio request 0x8000420b argument 0"};
  const Lines switched = {"RTS set", "RTS clear", request, "LSR busy", "LSR empty", "RTS set"};
  const std::string refused = "ioctl TIOCSRS485 on " + path +
                              ": Inappropriate ioctl for device: its driver has no RS-485 mode for "
                              "MOD_METERSCRIBE_RS485=kernel";
  const struct {
    const char* name;
    std::string settings;
    std::vector<std::string> driver;
    Lines record;
    const char* kind;      // as the probe names the line; null when the line is not opened
    std::string message;   // the one the probe tells, which the daemon logs too
    const char* word;      // the same control as the probe's --rs485 for a read without settings; null: none
  } cases[] = {
      {"without the setting the GPIO driver is asked, and says RS-485", "", {"MS_GPIO_MODE=3"}, asked + switched,
       "RS-485", "", ""},
      {"a word that names no control is read as gpio", "MOD_METERSCRIBE_RS485=kernal\n", {"MS_GPIO_MODE=0"},
       asked + Lines{request}, "RS-232", "", nullptr},
      {"kernel: the driver's mode, RTS high while sending", "MOD_METERSCRIBE_RS485=kernel\n", {"MS_GPIO_MODE=3"},
       {"RS485 set enabled+rts-on-send before 0 after 0", request}, "RS-485 by the driver",
       "RS-485 mode of the driver on " + path + ": RTS high while sending, 0 ms before and 0 ms after", "kernel"},
      {"kernel: RTS low while sending, and the delays as the driver took them",
       "MOD_METERSCRIBE_RS485=Kernel\nMOD_METERSCRIBE_RS485_RTS_ON_SEND=0\nMOD_METERSCRIBE_RS485_DELAY_BEFORE=2\n"
       "MOD_METERSCRIBE_RS485_DELAY_AFTER=300\n",
       {},
       {"RS485 set enabled+rts-after-send before 2 after 300", request}, "RS-485 by the driver",
       // What the driver took is told: it cuts a delay to 100 ms.
       "RS-485 mode of the driver on " + path + ": RTS low while sending, 2 ms before and 100 ms after", nullptr},
      {"kernel on a driver without RS-485 mode ends start-up", "MOD_METERSCRIBE_RS485=kernel\n", {"MS_RS485=reject"},
       {"RS485 rejected"}, nullptr, refused, nullptr},
      {"rts: switched around each request, no driver asked", "MOD_METERSCRIBE_RS485=rts\n", {"MS_GPIO_MODE=0"},
       switched, "RS-485", "", "rts"},
      {"none: nothing switched, no driver asked", "MOD_METERSCRIBE_RS485=none\n", {"MS_GPIO_MODE=3"}, {request},
       "no direction switching", "", "none"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::size_t lines_before = all_log_lines(log_dir).size();
    ::unlink(root.at("/daemon.record").c_str());
    start_daemon(1, "MOD_METERSCRIBE_PERIOD=3600\n" + c.settings, interposed(root.at("/daemon.record"), c.driver));
    if (c.kind != nullptr) {
      EXPECT_TRUE(wait_until([&] { return all_log_lines(log_dir).size() > lines_before; }, 10s)) << daemon->messages();
      daemon->stop();
    } else {
      int status = daemon->wait_for_exit(10s);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << daemon->messages();
    }
    EXPECT_EQ(record_of("/daemon.record"), c.record);
    EXPECT_NE(daemon->messages().find(c.message + "\n"), std::string::npos) << daemon->messages();

    ::unlink(root.at("/probe.record").c_str());
    int status = run_probe(interposed(root.at("/probe.record"), c.driver));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == (c.kind != nullptr ? 0 : 2)) << root.read_file("/probe.err");
    EXPECT_EQ(record_of("/probe.record"), c.record);
    EXPECT_EQ(root.read_file("/probe.err"), c.message.empty() ? "" : "meterscribe-probe: " + c.message + "\n");
    if (c.kind != nullptr) {
      EXPECT_EQ(root.read_file("/probe.out").rfind("line " + path + ": 38400 bit/s, " + c.kind + ";", 0), 0u)
          << root.read_file("/probe.out");
    }
    EXPECT_NE(access(lock_file(sim->device()).c_str(), F_OK), 0) << "the probe leaves no lock behind";

    if (c.word == nullptr) continue;
    ::unlink(root.at("/probe.record").c_str());
    status = run_probe(interposed(root.at("/probe.record"), c.driver),
                       "--device " + sim->device() + " --slave 1 --count 6 --baud 38400" +
                           (*c.word != '\0' ? std::string(" --rs485 ") + c.word : ""));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << root.read_file("/probe.err");
    EXPECT_EQ(record_of("/probe.record"), c.record) << "a read without settings, --rs485 " << c.word;
    EXPECT_NE(root.read_file("/probe.out").find(std::string(", ") + c.kind + "; answers within"), std::string::npos)
        << root.read_file("/probe.out");
  }
}

}  // namespace
