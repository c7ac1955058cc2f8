// meterscribe-check, the real binary on real settings files: what it says
// the daemon will do, every finding it lists, and its exit status.
#include <linux/magic.h>
#include <sys/statfs.h>

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/reliability.h"
#include "support/temp_root.h"
#include "tool_run.h"

namespace {

// A sound file: one meter on a known line.
const std::string BASE =
    "MOD_METERSCRIBE_DEVICE=\"ttyS1\"\nMOD_METERSCRIBE_BAUDRATE=19200\nMOD_METERSCRIBE_PARITY=E\n"
    "MOD_METERSCRIBE_SPLIT=100\nMOD_METERSCRIBE_PERIOD=10\nMOD_METERSCRIBE_SEND_PERIOD=15\n"
    "MOD_METERSCRIBE_ADDR1=1\nMOD_METERSCRIBE_FUNC1=3\nMOD_METERSCRIBE_REG_COUNT1=4\n";

// The lines of the findings block, without their indent.
std::vector<std::string> findings_of(const std::string& out) {
  std::vector<std::string> items;
  std::size_t block = out.find("\nFindings (");
  if (block == std::string::npos) return items;
  std::istringstream lines(out.substr(out.find('\n', block + 1) + 1));
  for (std::string line; std::getline(lines, line);) items.push_back(line.substr(2));
  return items;
}

class CheckTest : public TempRootTest {
 protected:
  ToolRun check(const std::string& content) {
    root.write_file("/settings", content);
    return run_tool(MS_CHECK_TOOL, "--settings " + root.at("/settings"), root);
  }
};

TEST_F(CheckTest, ASoundFileIsExplainedAndPasses) {
  ToolRun run = check(BASE + "# the gateway's comment\n\nMOD_METERSCRIBE_CACHE=1\nMOD_METERSCRIBE_CACHE_DIR=logs\n");
  EXPECT_EQ(run.out, "Settings file " + root.at("/settings") +
                         "\n\n"
                         "Meters polled in each cycle: 1\n"
                         "  meter 1  slave 1, function 3 (read holding registers), registers 0 to 3 (4)\n"
                         "  not polled: slots 2 to 10 (MOD_METERSCRIBE_ADDR2 is 0 or missing, which ends the list)\n"
                         "\nSerial line\n"
                         "  device   /dev/ttyS1 (RS-485 wiring is asked of the GPIO driver for port 1)\n"
                         "  framing  19200 bit/s, 8 data bits, even parity, 1 stop bit\n"
                         "  timing   1 s for the first byte of an answer, 100 ms for the rest (SPLIT); 10 s between "
                         "cycles (PERIOD)\n"
                         "\nStorage\n"
                         "  memory card (CACHE is \"1\"): memCard mount at start-up, log files in "
                         "/var/meterscribe/mnt/logs\n"
                         "  the directory must exist: the daemon creates none and exits without it\n"
                         "  a log file is released for upload when it is 15 minutes old (SEND_PERIOD)\n"
                         "\nNothing surprising: the daemon reads this file as it is written.\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
}

TEST_F(CheckTest, FindingsAndExitStatusForEachSurprise) {
  struct Case {
    const char* name;
    std::string content;
    std::vector<std::string> findings;
  };
  const Case cases[] = {
      {"line endings CR LF, quotes, comments and lower-case keys are fine",
       "mod_meterscribe_device=\"ttyS1\"\r\nMOD_METERSCRIBE_BAUDRATE=19200\r\nMOD_METERSCRIBE_SPLIT=100\r\n"
       "# MOD_METERSCRIBE_ADDR2=7\r\nMOD_METERSCRIBE_ADDR1=1\r\nMOD_METERSCRIBE_FUNC1=4\r\nMOD_METERSCRIBE_REG_COUNT1=2\r\n",
       {}},
      {"no meters", "MOD_METERSCRIBE_DEVICE=ttyS1\nMOD_METERSCRIBE_SPLIT=100\n",
       {"meters: slot 1 has no address: the daemon logs \"no meters to read\" and exits"}},
      {"slots after the first address 0",
       BASE + "MOD_METERSCRIBE_ADDR2=0\nMOD_METERSCRIBE_ADDR3=7\nMOD_METERSCRIBE_FUNC3=3\n",
       {"slot 3: has settings but is not polled: slot 2 has no address and ends the list"}},
      {"a slot with settings but no address", BASE + "MOD_METERSCRIBE_FUNC2=3\n",
       {"slot 2: has settings but no address: not polled"}},
      {"functions that send nothing", BASE + "MOD_METERSCRIBE_ADDR2=2\nMOD_METERSCRIBE_FUNC2=16\n",
       {"meter 2: function 16 is none of 1, 3, 4: the daemon sends nothing and logs \"no answer from meter 2\" "
        "every cycle"}},
      {"nothing to read", BASE + "MOD_METERSCRIBE_ADDR2=2\nMOD_METERSCRIBE_FUNC2=1\n",
       {"meter 2: reads 0 coils: meters reject such a request"}},
      {"function 1 counts coils, 3 and 4 registers",
       BASE + "MOD_METERSCRIBE_BIN_COUNT1=8\nMOD_METERSCRIBE_ADDR2=2\nMOD_METERSCRIBE_FUNC2=1\n"
              "MOD_METERSCRIBE_REG_COUNT2=3\nMOD_METERSCRIBE_BIN_COUNT2=16\n",
       {"meter 1: MOD_METERSCRIBE_BIN_COUNT1 is ignored for function 3: registers are counted by "
        "MOD_METERSCRIBE_REG_COUNT1",
        "meter 2: MOD_METERSCRIBE_REG_COUNT2 is ignored for function 1: coils are counted by "
        "MOD_METERSCRIBE_BIN_COUNT2"}},
      {"quantities cut to 16 bits and beyond the Modbus maxima",
       BASE + "MOD_METERSCRIBE_ADDR2=2\nMOD_METERSCRIBE_FUNC2=4\nMOD_METERSCRIBE_REG_COUNT2=65546\n"
              "MOD_METERSCRIBE_ADDR3=3\nMOD_METERSCRIBE_FUNC3=3\nMOD_METERSCRIBE_REG_COUNT3=126\n"
              "MOD_METERSCRIBE_ADDR4=4\nMOD_METERSCRIBE_FUNC4=1\nMOD_METERSCRIBE_BIN_COUNT4=2001\n"
              "MOD_METERSCRIBE_ADDR5=5\nMOD_METERSCRIBE_FUNC5=3\nMOD_METERSCRIBE_REG_COUNT5=2\n"
              "MOD_METERSCRIBE_START5=65535\n",
       {"meter 2: 65546 registers are sent as 10: only 16 bits fit the request",
        "meter 3: 126 registers are beyond the Modbus maximum of 125: real meters reject the request",
        "meter 4: 2001 coils are beyond the Modbus maximum of 2000: real meters reject the request",
        "meter 5: registers 65535 to 65536 run past the last address 65535",
        "meter 3: its answer of 257 bytes needs about 147 ms after the first byte at 19200 bit/s, but SPLIT is 100 "
        "ms: answers can be cut short and rejected as bad CRC",
        "meter 4: its answer of 256 bytes needs about 147 ms after the first byte at 19200 bit/s, but SPLIT is 100 "
        "ms: answers can be cut short and rejected as bad CRC"}},
      {"addresses cut to 8 bits and above 247",
       BASE + "MOD_METERSCRIBE_ADDR2=256\nMOD_METERSCRIBE_FUNC2=3\nMOD_METERSCRIBE_REG_COUNT2=1\n"
              "MOD_METERSCRIBE_ADDR3=248\nMOD_METERSCRIBE_FUNC3=3\nMOD_METERSCRIBE_REG_COUNT3=1\n",
       {"meter 2: address 256 is sent as 0: only 8 bits fit the request",
        "meter 2: address 0 is the broadcast address: no meter answers it",
        "meter 3: address 248 is above 247, the highest slave address: no meter answers it"}},
      {"starts that look like 1-based register numbers",
       BASE + "MOD_METERSCRIBE_START1=40001\nMOD_METERSCRIBE_ADDR2=2\nMOD_METERSCRIBE_FUNC2=4\n"
              "MOD_METERSCRIBE_REG_COUNT2=2\nMOD_METERSCRIBE_START2=30011\nMOD_METERSCRIBE_ADDR3=3\n"
              "MOD_METERSCRIBE_FUNC3=3\nMOD_METERSCRIBE_REG_COUNT3=2\nMOD_METERSCRIBE_START3=30001\n"
              "MOD_METERSCRIBE_ADDR4=4\nMOD_METERSCRIBE_FUNC4=3\nMOD_METERSCRIBE_REG_COUNT4=2\n"
              "MOD_METERSCRIBE_START4=40000\n",
       {"meter 1: START1=40001 looks like a register number: the protocol address of holding register 40001 is 0 "
        "(START1=0); the start goes on the wire as it is",
        "meter 2: START2=30011 looks like a register number: the protocol address of input register 30011 is 10 "
        "(START2=10); the start goes on the wire as it is",
        "meter 3: START3=30001 looks like a register number: the protocol address of input register 30001 is 0 "
        "(START3=0, FUNC3=4); the start goes on the wire as it is"}},
      {"serial fallbacks",
       "MOD_METERSCRIBE_DEVICE=/dev/ttyS1\nMOD_METERSCRIBE_BAUDRATE=14400\nMOD_METERSCRIBE_DATABITS=5\n"
       "MOD_METERSCRIBE_PARITY=e\nMOD_METERSCRIBE_STOPBITS=0\n" + BASE,
       {"line 6: MOD_METERSCRIBE_DEVICE again: the first, on line 1, wins; this line is ignored",
        "line 7: MOD_METERSCRIBE_BAUDRATE again: the first, on line 2, wins; this line is ignored",
        "line 8: MOD_METERSCRIBE_PARITY again: the first, on line 4, wins; this line is ignored",
        "serial line: DEVICE \"/dev/ttyS1\" is a path: the daemon opens \"/dev//dev/ttyS1\"; name the device below "
        "/dev (such as ttyS0)",
        "serial line: BAUDRATE 14400 is not a speed the daemon knows: the line runs at 9600 bit/s",
        "serial line: DATABITS 5: the daemon knows 7 and 8 only and uses 8",
        "serial line: STOPBITS 0: the daemon knows 1 and 2 only and uses 1",
        "serial line: PARITY \"e\" begins with a lower-case letter: only a capital E or O counts, so the line runs "
        "with no parity"}},
      {"RS-485 settings the daemon reads otherwise",
       BASE + "MOD_METERSCRIBE_RS485=kernal\nMOD_METERSCRIBE_RS485_RTS_ON_SEND=2\nMOD_METERSCRIBE_RS485_DELAY_AFTER=5\n",
       {"serial line: RS485 \"kernal\" is none of gpio, kernel, rts, none: the daemon asks the GPIO driver, as "
        "without the setting",
        "serial line: RS485_RTS_ON_SEND 2 is neither 0 nor 1: read as 1, RTS high while sending",
        "serial line: RS485_RTS_ON_SEND is set, but only RS485=kernel uses it: ignored with RS485=gpio",
        "serial line: RS485_DELAY_AFTER is set, but only RS485=kernel uses it: ignored with RS485=gpio"}},
      {"the kernel's RS-485 mode with its own settings",
       BASE + "MOD_METERSCRIBE_RS485=KERNEL\nMOD_METERSCRIBE_RS485_RTS_ON_SEND=0\nMOD_METERSCRIBE_RS485_DELAY_BEFORE=1\n",
       {}},
      {"RTS delays beyond what Linux takes",
       BASE + "MOD_METERSCRIBE_RS485=kernel\nMOD_METERSCRIBE_RS485_DELAY_BEFORE=100\n"
              "MOD_METERSCRIBE_RS485_DELAY_AFTER=101\n",
       {"serial line: RS485_DELAY_AFTER 101 ms: Linux cuts an RTS delay to 100 ms (a driver without delays to 0)"}},
      {"the kernel's mode on a USB adapter",
       "MOD_METERSCRIBE_DEVICE=ttyUSB0\nMOD_METERSCRIBE_RS485=kernel\nMOD_METERSCRIBE_SPLIT=100\n"
       "MOD_METERSCRIBE_ADDR1=1\nMOD_METERSCRIBE_FUNC1=3\nMOD_METERSCRIBE_REG_COUNT1=4\n",
       {"serial line: RS485=kernel on ttyUSB0: USB serial drivers have no RS-485 mode, so the daemon exits at "
        "start-up; an adapter that turns itself around needs RS485=none"}},
      {"RTS switched by the daemon on a USB adapter",
       "MOD_METERSCRIBE_DEVICE=serial/by-id/usb-FTDI_1-if00-port0\nMOD_METERSCRIBE_RS485=rts\n"
       "MOD_METERSCRIBE_SPLIT=100\nMOD_METERSCRIBE_ADDR1=1\nMOD_METERSCRIBE_FUNC1=3\nMOD_METERSCRIBE_REG_COUNT1=4\n",
       {"serial line: RS485=rts on serial/by-id/usb-FTDI_1-if00-port0: USB serial drivers do not tell when the last "
        "bit has gone, so RTS turns back before the request is out; an adapter that turns itself around needs "
        "RS485=none"}},
      {"a SPLIT too short for the answers at the line speed",
       "MOD_METERSCRIBE_BAUDRATE=1200\n" + BASE + "MOD_METERSCRIBE_ADDR2=2\nMOD_METERSCRIBE_FUNC2=3\n"
       "MOD_METERSCRIBE_REG_COUNT2=100\n",
       {"line 3: MOD_METERSCRIBE_BAUDRATE again: the first, on line 1, wins; this line is ignored",
        "meter 1: its answer of 13 bytes needs about 110 ms after the first byte at 1200 bit/s, but SPLIT is 100 "
        "ms: answers can be cut short and rejected as bad CRC",
        "meter 2: its answer of 205 bytes needs about 1870 ms after the first byte at 1200 bit/s, but SPLIT is 100 "
        "ms: answers can be cut short and rejected as bad CRC"}},
      {"storage choices", BASE + "MOD_METERSCRIBE_CACHE=0\n",
       {"storage: CACHE is \"0\": any text that is not empty selects the memory card",
        "storage: CACHE_DIR is empty: log files go to the card's mount point /var/meterscribe/mnt/ itself"}},
      // 21 characters of mount point and slash: a CACHE_DIR of 106 fits.
      {"a card directory too long for the daemon",
       BASE + "MOD_METERSCRIBE_CACHE=1\nMOD_METERSCRIBE_CACHE_DIR=" + std::string(107, 'd') + "\n",
       {"storage: CACHE_DIR is too long: the log directory /var/meterscribe/mnt/" + std::string(107, 'd') +
        " has 128 characters, more than the 127 the daemon has room for: it refuses to start"}},
      {"a card directory that just fits",
       BASE + "MOD_METERSCRIBE_CACHE=1\nMOD_METERSCRIBE_CACHE_DIR=" + std::string(106, 'd') + "\n", {}},
      {"a card directory without a card", BASE + "MOD_METERSCRIBE_CACHE_DIR=logs\n",
       {"storage: CACHE_DIR is \"logs\" but CACHE is empty: the memory card is not used"}},
      {"lines the daemon does not read as they look",
       BASE + "MOD_METERSCRIBE_BAUD=9600\nMOD_METERSCRIBE_ADDR11=4\nMOD_METERSCRIBE_PERIOD = 5\n"
              "MOD_METERSCRIBE_ENABLED\nMOD_METERSCRIBE_USERNAME=\"field\nMOD_METERSCRIBE_PASSWORD=se\"cr\"et\n"
              "MOD_METERSCRIBE_PORT=502x\nMOD_METERSCRIBE_START_ADDR=-1\nMOD_METERSCRIBE_FTPES_ENABLED=yes\n"
              "MOD_METERSCRIBE_REMOTE_URL=ftp://host \n\"MOD_METERSCRIBE_TLS_AUTH_TYPE\"=x\n",
       {"line 10: MOD_METERSCRIBE_BAUD is not a key the daemon knows: ignored",
        "line 11: MOD_METERSCRIBE_ADDR11: there are only ten meter slots (1 to 10): ignored",
        "line 12: blanks around the key \"MOD_METERSCRIBE_PERIOD \": the daemon does not see MOD_METERSCRIBE_PERIOD "
        "on this line",
        "line 13: no '=': the daemon ignores this line",
        "line 14: MOD_METERSCRIBE_USERNAME: unbalanced double quotes: the daemon cuts the line at its last quote and "
        "reads the value \"\"",
        "line 15: MOD_METERSCRIBE_PASSWORD: unbalanced double quotes: the daemon cuts the line at its last quote and "
        "reads the value \"se\"cr\"",
        "line 16: MOD_METERSCRIBE_PORT=\"502x\": the text after the number is ignored: reads as 502",
        "line 17: MOD_METERSCRIBE_START_ADDR=\"-1\" is negative: reads as 4294967295",
        "line 18: MOD_METERSCRIBE_FTPES_ENABLED=\"yes\" is not a number: reads as 0",
        "line 19: MOD_METERSCRIBE_REMOTE_URL=\"ftp://host \" has blanks at its start or end, which the daemon keeps",
        "line 20: the daemon cuts the line at its last double quote, which leaves no '=': ignored"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ToolRun run = check(c.content);
    EXPECT_EQ(findings_of(run.out), c.findings) << run.out;
    EXPECT_EQ(run.status, c.findings.empty() ? 0 : 1);
  }
}

// How the direction is switched is told beside the device.
TEST_F(CheckTest, TheRs485ControlIsExplained) {
  const struct {
    const char* settings;
    const char* explained;
  } cases[] = {
      {"", "RS-485 wiring is asked of the GPIO driver for port 1"},
      {"MOD_METERSCRIBE_RS485=kernel\n",
       "RS485=kernel: the driver's RS-485 mode switches RTS, high while sending, 0 ms before and 0 ms after"},
      {"MOD_METERSCRIBE_RS485=kernel\nMOD_METERSCRIBE_RS485_RTS_ON_SEND=0\nMOD_METERSCRIBE_RS485_DELAY_BEFORE=2\n"
       "MOD_METERSCRIBE_RS485_DELAY_AFTER=3\n",
       "RS485=kernel: the driver's RS-485 mode switches RTS, low while sending, 2 ms before and 3 ms after"},
      {"MOD_METERSCRIBE_RS485=rts\n", "RS485=rts: the daemon switches RTS around each request; no GPIO driver asked"},
      {"MOD_METERSCRIBE_RS485=none\n", "RS485=none: no direction switching; no GPIO driver asked"},
  };
  for (const auto& c : cases) {
    ToolRun run = check(BASE + c.settings);
    EXPECT_NE(run.out.find(std::string("  device   /dev/ttyS1 (") + c.explained + ")\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.status, 0) << run.out;
  }
}

// Volatile storage on a disk is a finding (unless the test's own disk is in
// RAM); a tmpfs mounted there is not. Judged in the gateway's root.
TEST_F(CheckTest, VolatileStorageOffRamIsAFinding) {
  root.write_file("/settings", BASE);
  std::string tool = "METERSCRIBE_ROOT=" + root.path() + " " + MS_CHECK_TOOL;
  const std::vector<std::string> off_ram = {
      "storage: /var/meterscribe/voldata is not on a RAM file system (tmpfs or ramfs): the volatile logs go to flash; "
      "var-meterscribe-voldata.mount puts a tmpfs there (systemctl start var-meterscribe-voldata.mount)"};
  struct statfs disk {};
  ASSERT_EQ(statfs(root.at("/var/meterscribe/voldata").c_str(), &disk), 0);
  ToolRun run = run_tool(tool.c_str(), "--settings " + root.at("/settings"), root);
  EXPECT_EQ(findings_of(run.out), disk.f_type == TMPFS_MAGIC ? std::vector<std::string>{} : off_ram) << run.out;
  TmpfsMount ram(root.at("/var/meterscribe/voldata"), 1024);
  if (!ram.mounted()) GTEST_SKIP() << ram.why_not();
  run = run_tool(tool.c_str(), "--settings " + root.at("/settings"), root);
  EXPECT_EQ(findings_of(run.out), std::vector<std::string>{}) << run.out;
  EXPECT_EQ(run.status, 0);
}

TEST_F(CheckTest, AnUnreadableFileEndsWithStatus2) {
  ToolRun missing = run_tool(MS_CHECK_TOOL, root.at("/missing"), root);
  EXPECT_EQ(missing.err, "meterscribe-check: cannot read " + root.at("/missing") + ": No such file or directory\n");
  EXPECT_EQ(missing.status, 2);
}

}  // namespace
