// From the meters to the database: the real daemon polls the simulated
// meters, the sample send delivers its files to a real FTP server on
// loopback into one gateway's directory, and meterscribe-ingest loads that
// tree into a throwaway PostgreSQL 15 cluster. The database then holds
// exactly what meterscribe-decode prints for the delivered files.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/gateway_root.h"
#include "support/postgres_cluster.h"
#include "support/sample_script.h"
#include "support/server_process.h"

using namespace std::chrono_literals;

namespace {

std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines = complete_lines(text);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Files delivered whole: every one ends in a newline.
std::vector<std::string> delivered(const std::string& dir) {
  std::vector<std::string> names;
  for (const std::string& name : directory_names(dir)) {
    std::string content = read_whole_file(dir + "/" + name);
    if (!content.empty() && content.back() == '\n') names.push_back(name);
  }
  return names;
}

class IngestDeliveredTest : public GatewayRootTest {};

TEST_F(IngestDeliveredTest, ReadingsInTheDatabaseEqualWhatDecodePrintsForTheDeliveredFiles) {
#ifndef MS_INGEST_TOOL
  GTEST_SKIP() << "meterscribe-ingest is not built (no libpq)";
#else
  std::string why;
  if (!PostgresCluster::available(why)) GTEST_SKIP() << why;
  if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no python3 for the FTP server";
  if (!start_sim({"--slaves", "2"})) GTEST_SKIP() << "meter simulator not available";
  std::string tree = root.at("/srv");
  ::mkdir(tree.c_str(), 0755);
  ::mkdir((tree + "/gw1").c_str(), 0755);
  int port = free_loopback_port();
  ServerProcess ftp({"/usr/bin/python3", "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", std::to_string(port), "-w", "-d",
                     tree, "-u", "meter", "-P", "pw"},
                    root.at("/ftp.log"));
  if (!ftp.wait_listening(port, 10s)) GTEST_SKIP() << "no FTP server (python3-pyftpdlib): " << ftp.log();
  install_sample_script(root, "send");
  // One poll of each meter a second: one line per meter and logged second.
  start_daemon(2, "MOD_METERSCRIBE_REMOTE_URL=ftp://127.0.0.1:" + std::to_string(port) +
                      "/gw1/\nMOD_METERSCRIBE_USERNAME=meter\nMOD_METERSCRIBE_PASSWORD=pw\n"
                      "MOD_METERSCRIBE_PERIOD=1\nMOD_METERSCRIBE_SPLIT=2000\nMOD_METERSCRIBE_SEND_PERIOD=0\n");
  ASSERT_TRUE(wait_until([&] { return delivered(tree + "/gw1").size() >= 3; }, 60s)) << daemon->messages();
  daemon->stop();
  // A send under way finishes by itself; what is there then is loaded.
  wait_until([&] { return delivered(tree + "/gw1").size() == directory_names(tree + "/gw1").size(); }, 15s);

  PostgresCluster cluster;
  ASSERT_TRUE(cluster.started()) << cluster.log();
  ASSERT_EQ(cluster.query("postgres", "CREATE DATABASE meters"), "");
  std::string settings = root.at(SETTINGS_PATH);
  root.write_file("/site", "gateway gw1 settings " + settings + "\n");
  std::string db = "--db '" + cluster.conninfo("meters") + "' ";
  ASSERT_EQ(std::system((MS_INGEST_TOOL " " + db + "--init --once " + root.at("/site") + " " + tree + " >" +
                         root.at("/ingest.out") + " 2>&1")
                            .c_str()),
            0)
      << root.read_file("/ingest.out");

  std::string decode_command = std::string(MS_DECODE_TOOL) + " --utc --settings " + settings + " " + tree + "/gw1 >" +
                               root.at("/decode.out");
  ASSERT_EQ(std::system(decode_command.c_str()), 0);
  std::vector<std::string> printed = sorted_lines(root.read_file("/decode.out"));
  printed.erase(std::find(printed.begin(), printed.end(), "time,meter,slave,function,address,value"));
  ASSERT_FALSE(printed.empty());
  EXPECT_EQ(sorted_lines(cluster.query("meters",
                                       "SELECT to_char(time AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"') || "
                                       "',' || meter || ',' || slave || ',' || function || ',' || address || ',' || "
                                       "value FROM readings")),
            printed);
  EXPECT_EQ(cluster.query("meters", "SELECT count(*) FROM ingested_files"),
            std::to_string(directory_names(tree + "/gw1").size()) + "\n");
#endif
}

}  // namespace
