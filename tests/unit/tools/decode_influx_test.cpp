// meterscribe-decode's line protocol written into a real InfluxDB server
// (influxd, Debian package influxdb) on loopback and read back: values,
// types, escaped tags and nanosecond timestamps arrive as the log meant them.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "support/reliability.h"
#include "support/server_process.h"
#include "support/temp_root.h"
#include "tool_run.h"

namespace {

std::string find_on_path(const char* program) {
  std::istringstream path(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin");
  for (std::string directory; std::getline(path, directory, ':');) {
    std::string candidate = directory + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// influxd with its HTTP service alone on a free loopback port, its data in
// the test's root; stopped with the object.
class InfluxServer {
 public:
  InfluxServer(const std::string& binary, const TempRoot& root)
      : root_(root), port_(free_loopback_port()), process_(configure(binary, root, port_)) {}

  // True once the server answers; false at once when it has ended.
  bool ready() {
    return process_.wait_ready([this] { return http("/ping", "") == " 204"; }, std::chrono::seconds(30));
  }
  // curl's answer: the body, a blank and the HTTP status.
  std::string http(const std::string& path, const std::string& curl_options) {
    return run_tool("curl", "-s -w ' %{http_code}' " + curl_options + " 'http://127.0.0.1:" + std::to_string(port_) +
                                path + "'",
                    root_)
        .out;
  }
  std::string log() const { return process_.log(); }

 private:
  // Writes the configuration; the command line that runs the server on it.
  static ServerProcess configure(const std::string& binary, const TempRoot& root, int port) {
    std::string dir = root.at("/influx");
    mkdir(dir.c_str(), 0755);
    root.write_file("/influx/influxd.conf",
                    "reporting-disabled = true\n"
                    "bind-address = \"127.0.0.1:" + std::to_string(free_loopback_port()) + "\"\n"
                    "[meta]\n  dir = \"" + dir + "/meta\"\n"
                    "[data]\n  dir = \"" + dir + "/data\"\n  wal-dir = \"" + dir + "/wal\"\n"
                    "  query-log-enabled = false\n"
                    "[http]\n  enabled = true\n  bind-address = \"127.0.0.1:" + std::to_string(port) + "\"\n"
                    "  log-enabled = false\n"
                    "[monitor]\n  store-enabled = false\n"
                    "[subscriber]\n  enabled = false\n"
                    "[continuous_queries]\n  enabled = false\n");
    return ServerProcess({binary, "-config", dir + "/influxd.conf"}, dir + "/influxd.log");
  }

  const TempRoot& root_;
  int port_;
  ServerProcess process_;
};

// Meter 1 reads the energy registers 0x46 to 0x4B (input registers), meter
// 2 two holding registers from 0.
const char* const SETTINGS =
    "MOD_METERSCRIBE_ADDR1=1\nMOD_METERSCRIBE_FUNC1=4\nMOD_METERSCRIBE_START1=70\nMOD_METERSCRIBE_REG_COUNT1=6\n"
    "MOD_METERSCRIBE_ADDR2=2\nMOD_METERSCRIBE_FUNC2=3\nMOD_METERSCRIBE_START2=0\nMOD_METERSCRIBE_REG_COUNT2=2\n";

const char* const MAP =
    "1 0x0046 frequency           float32 ABCD 1   Hz\n"
    "1 0x0048 energy,import=total float32 ABCD 1   kWh\n"
    "1 0x004A export              float32 ABCD 1   kWh\n"
    "2 0      count               u16     ABCD 1   -\n"
    "2 1      temperature         s16     ABCD 0.1 degC\n";

TEST(DecodeInfluxTest, LineProtocolLandsInARealServerWithItsValuesAndTimes) {
  std::string influxd = find_on_path("influxd");
  if (influxd.empty()) GTEST_SKIP() << "influxd is not installed (Debian package influxdb)";
  TempRoot root;
  root.write_file("/settings", SETTINGS);
  root.write_file("/map", MAP);
  // 50.0, 12345.5 and 0.25 as floats; 42 and -100. The first line's time
  // falls in the hour Berlin repeats: the earlier instant, 00:30 UTC.
  root.write_file("/log", log_line(0, "2024-10-27-02-30-00",
                                   {1, 4, 12, 0x42, 0x48, 0, 0, 0x46, 0x40, 0xe6, 0, 0x3e, 0x80, 0, 0}) +
                              log_line(1, "2024-03-05-14-07-09", {2, 3, 4, 0, 0x2a, 0xff, 0x9c}));
  setenv("TZ", "Europe/Berlin", 1);
  ToolRun decoded = run_tool(MS_DECODE_TOOL,
                             "--settings " + root.at("/settings") + " --map " + root.at("/map") + " --influx " +
                                 root.at("/log"),
                             root);
  unsetenv("TZ");
  ASSERT_EQ(decoded.status, 0) << decoded.err;
  root.write_file("/points", decoded.out);

  InfluxServer server(influxd, root);
  ASSERT_TRUE(server.ready()) << server.log();
  EXPECT_EQ(server.http("/query", "-XPOST --data-urlencode 'q=CREATE DATABASE meterscribe'"),
            "{\"results\":[{\"statement_id\":0}]}\n 200");
  EXPECT_EQ(server.http("/write?db=meterscribe&precision=ns", "-XPOST --data-binary @" + root.at("/points")), " 204");
  root.write_file("/query", "SELECT * FROM meterscribe");
  std::string answer = server.http("/query", "-G --data-urlencode db=meterscribe --data-urlencode epoch=ns "
                                             "--data-urlencode q@" + root.at("/query"));
  EXPECT_NE(answer.find("\"columns\":[\"time\",\"address\",\"function\",\"meter\",\"name\",\"slave\",\"unit\","
                        "\"value\",\"value_int\"]"),
            std::string::npos)
      << answer;
  const char* const rows[] = {
      "[1729989000000000000,\"70\",\"4\",\"1\",\"frequency\",\"1\",\"Hz\",50,null]",
      "[1729989000000000000,\"72\",\"4\",\"1\",\"energy,import=total\",\"1\",\"kWh\",12345.5,null]",
      "[1729989000000000000,\"74\",\"4\",\"1\",\"export\",\"1\",\"kWh\",0.25,null]",
      "[1709644029000000000,\"0\",\"3\",\"2\",\"count\",\"2\",null,null,42]",
      "[1709644029000000000,\"1\",\"3\",\"2\",\"temperature\",\"2\",\"degC\",-10,null]",
  };
  for (const char* row : rows) EXPECT_NE(answer.find(row), std::string::npos) << row << "\n" << answer;
}

}  // namespace
