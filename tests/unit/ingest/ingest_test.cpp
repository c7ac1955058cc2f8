// meterscribe-ingest, the real binary against a real PostgreSQL 15 cluster
// made for the test. Each case delivers files into a gateway's directory in
// rounds, running the tool after each; then the database must hold exactly
// what meterscribe-decode prints for every content ever delivered, each
// response once, one ingested_files row per distinct content and every line
// decode reports bad in the rejects table with decode's reason, in no more
// partitions than the window around the server's clock makes. In one case
// the tool watches the tree and takes files renamed into place or written
// where they stay, each once it is complete; in others two tools start
// together, the tool has 64 MiB of address space for a 200 MB file, or the
// database was made by the first version. Loaded files must stay, or be
// in the archive or gone when the tool is told so; a file that failed to
// load (the database refuses it, the site is refused) stays where it was.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <ctime>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/postgres_cluster.h"
#include "support/reliability.h"
#include "support/temp_root.h"
#include "unit/tools/tool_run.h"

extern char** environ;

// AddressSanitizer reserves terabytes of address space for its shadow: a
// tool built with it cannot start under a 64 MiB address-space limit. The
// optimised build shows the bound; the sanitizer build runs the same files
// without it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool ADDRESS_SPACE_IS_LIMITABLE = false;
#else
constexpr bool ADDRESS_SPACE_IS_LIMITABLE = true;
#endif

namespace {

// Meter 1 reads 3 holding registers from 100, meter 2 ten coils from 20,
// meter 3 four input registers from 0.
const char* const SETTINGS =
    "MOD_METERSCRIBE_ADDR1=1\nMOD_METERSCRIBE_FUNC1=3\nMOD_METERSCRIBE_START1=100\nMOD_METERSCRIBE_REG_COUNT1=3\n"
    "MOD_METERSCRIBE_ADDR2=2\nMOD_METERSCRIBE_FUNC2=1\nMOD_METERSCRIBE_START2=20\nMOD_METERSCRIBE_BIN_COUNT2=10\n"
    "MOD_METERSCRIBE_ADDR3=3\nMOD_METERSCRIBE_FUNC3=4\nMOD_METERSCRIBE_START3=0\nMOD_METERSCRIBE_REG_COUNT3=4\n";

// Every type and every order, values overlapping; none at meter 1's first
// register, whose start version 1's rows did not keep. The scales keep to values
// whose 15 printed digits are those of the nearest double, and the floats
// to numbers that both decode and numeric print without an exponent.
const char* const MAP =
    "1 102 count      u16     BADC 1    -\n"
    "1 101 power      s32     ABCD 0.01 kW\n"
    "1 102 delta      s16     ABCD 10   -\n"
    "1 101 pair       u32     DCBA 1    -\n"
    "1 101 swapped    s32     BADC 0.5  A\n"
    "3 0   voltage_l1 float32 ABCD 1    V\n"
    "3 2   voltage_l2 float32 CDAB 1    V\n"
    "3 2   scaled_l2  float32 CDAB 0.1  V\n"
    "3 0   energy     u64     DCBA 1e-9 kWh\n"
    "3 0   balance    s64     CDAB 2e-12 -\n"
    "3 0   wide       float64 ABCD 1    -\n"
    "3 0   half_wide  float64 ABCD 0.5  -\n";

// The tables of the tool's first version, before schema_version: one row
// per value, partitioned by month.
const char* const VERSION_1_TABLES = R"sql(
CREATE TABLE readings (
  gateway text NOT NULL, meter smallint NOT NULL, slave smallint NOT NULL, function smallint NOT NULL,
  address integer NOT NULL, name text, time timestamptz NOT NULL, value double precision, raw numeric, unit text,
  frame bytea NOT NULL, file text NOT NULL, line integer NOT NULL
) PARTITION BY RANGE (time);
CREATE UNIQUE INDEX readings_identity ON readings (gateway, meter, time, address, name, raw) NULLS NOT DISTINCT;
CREATE INDEX readings_latest ON readings (gateway, meter, address, name, time DESC);
CREATE TABLE readings_2024_03 PARTITION OF readings FOR VALUES FROM ('2024-03-01 00:00:00+00') TO ('2024-04-01 00:00:00+00');
CREATE TABLE readings_2024_04 PARTITION OF readings FOR VALUES FROM ('2024-04-01 00:00:00+00') TO ('2024-05-01 00:00:00+00');
CREATE TABLE ingested_files (
  gateway text NOT NULL, name text NOT NULL, size bigint NOT NULL, sha256 text NOT NULL, lines integer NOT NULL,
  rejected integer NOT NULL, readings bigint NOT NULL, loaded_at timestamptz NOT NULL DEFAULT now(),
  PRIMARY KEY (gateway, name, sha256)
);
)sql";

// Line i is meter i % 3, logged i seconds after 20:00 on the last day of
// March 2024 in Berlin: long runs cross into April, and a new partition.
// Its numbers are those of line `v`, of the same meter.
std::string fleet_line(unsigned i, unsigned v) {
  tm start{};
  start.tm_year = 124;
  start.tm_mon = 2;
  start.tm_mday = 31;
  start.tm_hour = 20;
  time_t wall = timegm(&start) + static_cast<time_t>(i);
  tm fields{};
  gmtime_r(&wall, &fields);
  char time[32];
  std::strftime(time, sizeof time, "%Y-%m-%d-%H-%M-%S", &fields);
  unsigned seven = v * 7;
  switch (i % 3) {
    case 0: return log_line(0, time, {1, 3, 6, v >> 8 & 0xFF, v & 0xFF, 0xFF, 0xFF, seven >> 8 & 0xFF, seven & 0xFF});
    case 1: return log_line(1, time, {2, 1, 2, v & 0xFF, v >> 8 & 3});
    default: return log_line(2, time, {3, 4, 8, 0x40, 0x6C, v & 0xFF, 0, 0x80, 0, 0x43, 0x66});
  }
}

std::string fleet_line(unsigned i) { return fleet_line(i, i); }

// Line i dated i months after 20:00 on 15 January 1990 instead.
std::string monthly_line(unsigned i) {
  std::string line = fleet_line(i);
  char time[32];
  std::snprintf(time, sizeof time, "%04u-%02u-15-20-00-00", 1990 + i / 12, 1 + i % 12);
  return line.replace(3, 19, time);
}

struct Delivery {
  std::string name;
  unsigned first;
  unsigned count;
  int corrupt = -1;      // this line's last CRC digit changed
  bool cut_short = false;  // the last line without its newline
  bool in_place = false;   // written where it stays, as an FTP server does
  bool twins = false;      // each line followed by one of the same meter and second with other numbers
  bool refused = false;    // the database refuses its ingested_files row: it fails to load
  int garbage_after = -1;  // two equal lines of garbage, longer than an index entry may be, follow this line
  bool appended = false;   // appended through a descriptor kept open, as an upload still under way; the last
                           // such delivery of the file closes it
  bool closes = false;     // with appended: the descriptor is closed after this part
  int nul_in = -1;         // this line has a NUL byte and the next line after its last blank
  bool link = false;       // a link to a file outside the tree renamed into place: never read, it stays
  bool far_years = false;  // the lines are logged in the years 0001, 0998, 1969, 2038 and 9999 in turn
  bool monthly = false;    // line i dated i months on (monthly_line)
  const char* gateway = "gw1";  // gw2 is in a site of its own
  unsigned long_lines = 0;      // lines of long_line_bytes letters follow the others, written as they go
  std::size_t long_line_bytes = 0;
};

// Without the limit the sizes prove nothing about memory, and the
// sanitizers make every byte slow: the long lines are a tenth as long.
std::size_t long_line_bytes(const Delivery& delivery) {
  return ADDRESS_SPACE_IS_LIMITABLE ? delivery.long_line_bytes : delivery.long_line_bytes / 10;
}

// 4 kB of letters that do not compress below what an index entry may be.
std::string garbage_line() {
  std::string line;
  std::minstd_rand letters(15);
  for (int i = 0; i < 4000; ++i) line += static_cast<char>('a' + letters() % 26);
  return line + "\n";
}

std::string content_of(const Delivery& delivery) {
  std::string content;
  for (unsigned i = delivery.first; i < delivery.first + delivery.count; ++i) {
    std::string line = delivery.monthly ? monthly_line(i) : fleet_line(i);
    if (static_cast<int>(i) == delivery.corrupt) line[line.size() - 3] = line[line.size() - 3] == '0' ? '1' : '0';
    if (delivery.far_years) line.replace(3, 4, std::array{"0001", "0998", "1969", "2038", "9999"}[i % 5]);
    if (static_cast<int>(i) == delivery.nul_in) line.insert(line.size() - 1, '\0' + fleet_line(i + 1, i + 7).substr(0, 40));
    content += line;
    // The same meter and second with the numbers of a line far away.
    if (delivery.twins) content += fleet_line(i, i + 30001);
    if (static_cast<int>(i) == delivery.garbage_after) content += garbage_line() + garbage_line();
  }
  if (delivery.cut_short) content += fleet_line(delivery.first + delivery.count).substr(0, 30);
  return content;
}

// What --once is told to do with the files it has loaded.
enum class Loaded { stay, archived, deleted };

struct IngestCase {
  const char* what;
  std::vector<std::vector<Delivery>> rounds;
  bool kill_first_round = false;  // kill -9 while the first round's file is loading
  bool watch = false;     // the tool watches the tree instead of running --once
  Loaded loaded = Loaded::stay;
  const char* unknown_tz = nullptr;  // the site gives the gateway this zone: the tool must refuse the site
  unsigned settle_s = 0;  // --settle with --archive or --delete; a round without deliveries lets it pass first
  bool watch_after_first_round = false;  // the watcher starts on a tree with the first round in it
  bool archive_elsewhere = false;  // the archive is on another file system, a link planted where a copy may go
  bool refusal_lifted = false;     // the watcher, refused a file, is given it again after its back-off
  bool two_tools = false;            // gw1 and gw2 loaded by two tools started together, each with its site
  bool memory_limited = false;       // the tool runs with 64 MiB of address space
  bool from_version_1 = false;       // after the first round the database is made as version 1 held it, then --init
  int months_back = 12;              // at the end the partitions' window is widened to this many months back
};

// `count` files of one line each, named after their line's time.
std::vector<Delivery> one_line_files(unsigned count) {
  std::vector<Delivery> files;
  for (unsigned i = 0; i < count; ++i) {
    std::string line = fleet_line(i);
    files.push_back({"log-" + line.substr(3, 19), i, 1});
  }
  return files;
}

const IngestCase CASES[] = {
    {"FirstLoad", {{{"log-2024-03-31-20-00-00", 0, 400}, {"log-2024-03-31-20-06-40", 400, 400}}}, false},
    {"MoreFilesThanTheDaemonLists", {one_line_files(1200)}, false},
    {"SameFileDeliveredTwice", {{{"log-2024-03-31-20-00-00", 0, 200}}, {{"log-2024-03-31-20-00-00", 0, 200}}}, false},
    {"HeadCutBetweenDeliveries",
     {{{"log-2024-03-31-20-00-00", 0, 300}}, {{"log-2024-03-31-20-00-00", 100, 350}}},
     false},
    {"CorruptedAndCutLines", {{{"log-2024-03-31-20-00-00", 0, 100, 10, true}}}, false},
    {"KilledInTheMiddleOfAFile",
     {{{"log-2024-03-31-20-00-00", 0, 30000}}, {{"log-2024-03-31-20-00-00", 0, 30000}}},
     true},
    {"LongEqualGarbageLines",
     {{{.name = "log-2024-03-31-20-00-00", .first = 0, .count = 100, .corrupt = 40, .garbage_after = 20}},
      {{.name = "log-2024-03-31-20-00-00", .first = 10, .count = 100, .corrupt = 40, .garbage_after = 20}}},
     false},
    {"TwoPollsInOneSecond",
     {{{.name = "log-2024-03-31-20-00-00", .first = 0, .count = 60, .twins = true}},
      {{.name = "log-2024-03-31-20-00-00", .first = 0, .count = 60, .twins = true}},
      {{.name = "log-2024-03-31-20-00-00", .first = 30, .count = 60, .twins = true}}},
     false},
    {"ArchivedOnceLoaded",
     {{{"log-2024-03-31-20-00-00", 0, 100},
       {.name = "log-2024-03-31-20-01-40", .first = 100, .count = 100, .refused = true}},
      {{"log-2024-03-31-20-00-00", 50, 100}}},
     false,
     false,
     Loaded::archived},
    {"DeletedOnceLoaded",
     {{{"log-2024-03-31-20-00-00", 0, 100},
       {.name = "log-2024-03-31-20-01-40", .first = 100, .count = 100, .refused = true}},
      {{"log-2024-03-31-20-00-00", 0, 100}}},
     false,
     false,
     Loaded::deleted},
    {"MisspeltZoneRefused",
     {{{"log-2024-03-31-20-00-00", 0, 100}}},
     false,
     false,
     Loaded::stay,
     "Europe/Berln"},
    {.what = "SixHundredMonthsInOneFile",
     .rounds = {{{.name = "log-1990-01-15-20-00-00", .first = 0, .count = 600, .monthly = true}}},
     .months_back = 40},
    {.what = "TwoToolsStartedTogether",
     .rounds = {{{"log-2024-03-31-20-00-00", 0, 300}, {.name = "log-2024-03-31-20-00-00", .first = 300, .count = 300,
                                                      .gateway = "gw2"}}},
     .two_tools = true},
    {.what = "LongFileAndLongLineIn64MiB",
     .rounds = {{{.name = "log-2024-03-31-20-00-00", .first = 0, .count = 100, .long_lines = 2000,
                  .long_line_bytes = 100000},
                 {.name = "log-2024-03-31-20-01-40", .first = 100, .count = 100, .long_lines = 1,
                  .long_line_bytes = 200000000}}},
     .memory_limited = true},
    {.what = "MigratedFromVersion1",
     .rounds = {{{"log-2024-03-31-20-00-00", 0, 400, 20}}, {{"log-2024-03-31-20-00-00", 0, 400, 20}},
                {{"log-2024-03-31-20-06-40", 400, 100}}},
     .from_version_1 = true},
    {"WatchedDeliveries",
     {{{"log-2024-03-31-20-00-00", 0, 200}},
      {{"log-2024-03-31-20-03-20", 200, 200, -1, false, true}, {"log-2024-03-31-20-00-00", 100, 200}}},
     false,
     true},
    {.what = "NulByte",
     .rounds = {{{.name = "log-2024-03-31-20-00-00", .first = 0, .count = 100, .nul_in = 30}}},
     .kill_first_round = false},
    {.what = "FarYears",
     .rounds = {{{.name = "log-2024-03-31-20-00-00", .first = 0, .count = 100, .far_years = true}}},
     .kill_first_round = false},
    {.what = "ArchivedAcrossFileSystems",
     .rounds = {{{"log-2024-03-31-20-00-00", 0, 100}}, {{"log-2024-03-31-20-00-00", 50, 100}}},
     .kill_first_round = false,
     .loaded = Loaded::archived,
     .archive_elsewhere = true},
    // The watcher reads no link, and is told of the file after it.
    {.what = "LinkRenamedIntoAWatchedDirectory",
     .rounds = {{{.name = "log-2024-03-31-20-00-00", .first = 0, .count = 100, .link = true},
                 {"log-2024-03-31-20-01-40", 100, 100}}},
     .kill_first_round = false,
     .watch = true},
    {.what = "FailedFileRetriedWhileWatched",
     .rounds = {{{.name = "log-2024-03-31-20-00-00", .first = 0, .count = 100, .refused = true}}},
     .kill_first_round = false,
     .watch = true,
     .refusal_lifted = true},
    // An upload still under way when --delete meets it: what is there is
    // loaded, the file stays until it has settled, the rest is loaded by the
    // next run, and only then does the file go.
    {.what = "StillBeingWrittenWhileDeleted",
     .rounds = {{{.name = "log-2024-03-31-20-00-00", .first = 0, .count = 400, .appended = true}},
                {{.name = "log-2024-03-31-20-00-00", .first = 400, .count = 400, .appended = true, .closes = true}},
                {}},
     .kill_first_round = false,
     .loaded = Loaded::deleted,
     .settle_s = 2},
    // The watcher meets it at its start, and is told of its end by the close.
    {.what = "StillBeingWrittenWhileWatchedAndDeleted",
     .rounds = {{{.name = "log-2024-03-31-20-00-00", .first = 0, .count = 400, .appended = true}},
                {{.name = "log-2024-03-31-20-00-00", .first = 400, .count = 400, .appended = true, .closes = true}}},
     .kill_first_round = false,
     .watch = true,
     .loaded = Loaded::deleted,
     .settle_s = 2,
     .watch_after_first_round = true},
};

void PrintTo(const IngestCase& c, std::ostream* out) { *out << c.what; }

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

using Files = std::map<std::string, std::string>;  // name to content

// The files of a directory, but for hidden ones.
Files files_in(const std::string& directory) {
  Files files;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return files;
  for (dirent* entry; (entry = readdir(dir)) != nullptr;)
    if (entry->d_name[0] != '.') files[entry->d_name] = read_whole_file(directory + "/" + entry->d_name);
  closedir(dir);
  return files;
}

// The first of name, name.1, name.2, ... not yet among `files`.
std::string free_name(const Files& files, const std::string& name) {
  std::string candidate = name;
  for (unsigned suffix = 1; files.count(candidate) != 0; ++suffix) candidate = name + "." + std::to_string(suffix);
  return candidate;
}

class IngestTest : public TempRootTest, public ::testing::WithParamInterface<IngestCase> {
 protected:
  static void SetUpTestSuite() {
    if (PostgresCluster::available(unavailable_)) cluster_ = new PostgresCluster;
  }
  static void TearDownTestSuite() {
    delete cluster_;
    cluster_ = nullptr;
  }

  void SetUp() override {
    if (cluster_ == nullptr) GTEST_SKIP() << unavailable_;
    ASSERT_TRUE(cluster_->started()) << cluster_->log();
    database_ = "ingest_" + std::string(GetParam().what);
    std::transform(database_.begin(), database_.end(), database_.begin(), [](char c) { return std::tolower(c); });
    ASSERT_EQ(cluster_->query("postgres", "DROP DATABASE IF EXISTS " + database_ + "; CREATE DATABASE " + database_),
              "");
    for (const char* directory : {"/site", "/tree", "/tree/gw1", "/tree/gw2", "/check"})
      mkdir(root.at(directory).c_str(), 0755);
    root.write_file("/site/gw1.settings", SETTINGS);
    root.write_file("/site/meters.map", MAP);
    root.write_file("/site/site", "gateway gw1 settings gw1.settings map meters.map tz " +
                                      std::string(GetParam().unknown_tz != nullptr ? GetParam().unknown_tz
                                                                                   : "Europe/Berlin") +
                                      "\n");
    root.write_file("/site/site2", "gateway gw2 settings gw1.settings map meters.map tz Europe/Berlin\n");
    // The zone meterscribe-decode reads the lines in; the tool takes the
    // site's.
    setenv("TZ", "Europe/Berlin", 1);
    ToolRun init = ingest("--init");
    ASSERT_EQ(init.status, 0) << init.err;
  }

  void TearDown() override {
    unsetenv("TZ");
    if (!elsewhere_.empty()) std::system(("rm -rf " + elsewhere_).c_str());
  }

  std::string tool_arguments(const std::string& options) const {
    return "--db '" + cluster_->conninfo(database_) + "' " + options;
  }
  ToolRun ingest(const std::string& options) {
    bool limited = GetParam().memory_limited && ADDRESS_SPACE_IS_LIMITABLE;
    return run_tool(limited ? "prlimit --as=67108864 " MS_INGEST_TOOL : MS_INGEST_TOOL, tool_arguments(options), root);
  }
  ToolRun ingest_once() {
    std::string options;
    return ingest("--once " + disposal_options() + root.at("/site/site") + " " + root.at("/tree"));
  }
  std::string disposal_options() {
    std::string settle = "--settle " + std::to_string(GetParam().settle_s) + " ";
    if (GetParam().loaded == Loaded::archived) return "--archive " + archive_root() + " " + settle;
    if (GetParam().loaded == Loaded::deleted) return "--delete " + settle;
    return "";
  }

  // As a server completes an upload: written aside, then renamed in place.
  void deliver(const Delivery& delivery) {
    std::string content = content_of(delivery);
    std::string directory = "/tree/" + std::string(delivery.gateway) + "/";
    // Refused before it arrives: a watcher may load it the moment it is renamed in.
    if (delivery.refused) {
      ASSERT_EQ(cluster_->query(database_, "ALTER TABLE ingested_files ADD CONSTRAINT \"refused " + delivery.name +
                                               "\" CHECK (name <> '" + delivery.name + "')"),
                "");
    }
    if (delivery.link) {
      root.write_file("/outside-" + delivery.name, content);
      ASSERT_EQ(symlink(root.at("/outside-" + delivery.name).c_str(), root.at("/tree/gw1/.upload").c_str()), 0);
      ASSERT_EQ(rename(root.at("/tree/gw1/.upload").c_str(), root.at("/tree/gw1/" + delivery.name).c_str()), 0);
      refused_[delivery.name] = content;
      return;
    }
    if (delivery.appended) {
      append_open(delivery.name, content, delivery.closes);
      content = appended_[delivery.name];
    } else if (delivery.in_place) {
      root.write_file(directory + delivery.name, content);
    } else {
      root.write_file(directory + ".upload", content);
      append_long_lines(directory + ".upload", delivery);
      ASSERT_EQ(rename(root.at(directory + ".upload").c_str(), root.at(directory + delivery.name).c_str()), 0);
    }
    if (delivery.long_lines > 0) return expect_long_lines(directory + delivery.name, delivery, content);
    if (GetParam().unknown_tz != nullptr) {
      refused_[delivery.name] = content;
      return;
    }
    if (delivery.refused) {
      refused_[delivery.name] = content;
      return;
    }
    expect_decoded(delivery.name, content);
    // Where the file ends up once it is loaded.
    if (GetParam().loaded == Loaded::stay && std::string(delivery.gateway) == "gw1") tree_[delivery.name] = content;
    if (GetParam().loaded == Loaded::archived) archive_[free_name(archive_, delivery.name)] = content;
  }

  // Once the watcher has failed on each refused file, the database takes
  // them: they are loaded without another event.
  void lift_refusals() {
    for (const auto& [name, content] : refused_) {
      EXPECT_TRUE(wait_until([&] { return read_whole_file(root.at("/background.out")).find("gw1/" + name + ": ") !=
                                          std::string::npos; },
                             std::chrono::seconds(30)));
      ASSERT_EQ(cluster_->query(database_, "ALTER TABLE ingested_files DROP CONSTRAINT \"refused " + name + "\""), "");
      expect_decoded(name, content);
      tree_[name] = content;
    }
    refused_.clear();
  }

  // The archive, and on another file system a link where a fixed name for
  // its copy would be: the file it leads to must stay as it is.
  std::string archive_root() {
    if (!GetParam().archive_elsewhere) return root.at("/archive");
    if (elsewhere_.empty()) {
      std::string pattern = "/dev/shm/ingest-archive.XXXXXX";
      if (mkdtemp(pattern.data()) == nullptr) return root.at("/archive");
      elsewhere_ = pattern;
      mkdir((elsewhere_ + "/gw1").c_str(), 0755);
      root.write_file("/outside", "untouched\n");
      symlink(root.at("/outside").c_str(), (elsewhere_ + "/gw1/.archiving").c_str());
    }
    return elsewhere_;
  }

  // Appends through the descriptor a writer keeps open: a file deleted
  // meanwhile takes the bytes out of sight.
  void append_open(const std::string& name, const std::string& part, bool closes) {
    int& fd = writing_[name];
    if (fd <= 0) fd = open(root.at("/tree/gw1/" + name).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, part.data(), part.size()), static_cast<ssize_t>(part.size()));
    appended_[name] += part;
    if (closes) {
      close(fd);
      fd = -1;
    }
  }

  // Written a megabyte at a time, never held whole.
  void append_long_lines(const std::string& relative, const Delivery& delivery) {
    FILE* file = std::fopen(root.at(relative).c_str(), "ab");
    ASSERT_NE(file, nullptr);
    std::string letters(1 << 20, 'x');
    for (unsigned line = 0; line < delivery.long_lines; ++line) {
      for (std::size_t left = long_line_bytes(delivery); left > 0; left -= std::min(left, letters.size()))
        std::fwrite(letters.data(), 1, std::min(left, letters.size()), file);
      std::fputc('\n', file);
    }
    std::fclose(file);
  }

  // The good lines are what decode makes of them; each long line is a
  // reject with its text cut.
  void expect_long_lines(const std::string& relative, const Delivery& delivery, const std::string& content) {
    expect_decoded(delivery.name, content);
    std::string path = root.at(relative);
    unsigned lines = delivery.count;
    for (auto file = files_.begin(); file != files_.end();)
      file = file->rfind(delivery.name + "|", 0) == 0 ? files_.erase(file) : std::next(file);
    for (unsigned line = 1; line <= delivery.long_lines; ++line) {
      rejects_.insert(delivery.name + ":" + std::to_string(lines + line) + ": longer than a log line can be: the text is cut");
    }
    std::string sha = run_tool("sha256sum", path, root).out.substr(0, 64);
    files_.insert(delivery.name + "|" + std::to_string(content.size() + delivery.long_lines * (long_line_bytes(delivery) + 1)) +
                  "|" + sha + "|" + std::to_string(lines + delivery.long_lines) + "|" + std::to_string(delivery.long_lines));
    tree_[delivery.name] = read_whole_file(path);
  }

  ToolRun decoded(const std::string& path) {
    return run_tool(MS_DECODE_TOOL,
                    "--settings " + root.at("/site/gw1.settings") + " --map " + root.at("/site/meters.map") +
                        " --utc " + path,
                    root);
  }

  // What meterscribe-decode makes of a delivered content, for the end.
  void expect_decoded(const std::string& name, const std::string& content) {
    root.write_file("/check/" + name, content);
    std::string path = root.at("/check/" + name);
    ToolRun decode = decoded(path);
    std::vector<std::string> reports = lines_of(decode.err);
    std::vector<std::string> lines = lines_of(content);
    std::set<std::string> reported;
    std::map<std::string, unsigned> occurrences;
    for (std::string& report : reports) {
      std::string number = report.substr(path.size() + 1, report.find(':', path.size() + 1) - path.size() - 1);
      reported.insert(number);
      // A bad line is recorded once: the first delivery of the file that
      // holds it (as the same occurrence of its text) says where it was.
      const std::string& text = lines[std::stoul(number) - 1];
      if (reject_keys_.insert(name + "|" + text + "|" + std::to_string(++occurrences[text])).second)
        rejects_.insert(report.replace(0, path.size(), name));
    }
    std::string responses;  // good lines not delivered before
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (reported.count(std::to_string(i + 1)) != 0) continue;
      if (responses_.insert(lines[i]).second) responses += lines[i] + "\n";
      std::string frame = lines[i].substr(lines[i].find(':', 3) + 1);
      frame.erase(std::remove(frame.begin(), frame.end(), ' '), frame.end());
      frames_.insert(frame);
    }
    // A response is stored once whatever the delivery history, with every
    // reading it holds: the same frame of a meter at the same time is the
    // same response, another frame another one.
    root.write_file("/check/responses", responses);
    std::vector<std::string> records = lines_of(decoded(root.at("/check/responses")).out);
    if (!records.empty()) readings_.insert(records.begin() + 1, records.end());  // past the CSV header
    std::string sha = run_tool("sha256sum", path, root).out.substr(0, 64);
    files_.insert(name + "|" + std::to_string(content.size()) + "|" + sha + "|" + std::to_string(lines.size()) + "|" +
                  std::to_string(reports.size()));
  }

  // The tool in the background on the test's tree; its pid is its own.
  pid_t spawn_tool(const std::string& options, const std::string& site = "/site/site",
                   const std::string& out = "/background.out") {
    std::vector<std::string> words = {"/bin/sh", "-c",
                                      "exec " + std::string(MS_INGEST_TOOL) + " " + tool_arguments(options) + " " +
                                          root.at(site) + " " + root.at("/tree") + " >" + root.at(out) + " 2>&1"};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    return pid;
  }

  // Starts the tool, waits until it is copying or inserting readings (or
  // done), and kills it at a random moment after that. The file being
  // loaded is then in the database whole, with its ingested_files row, or
  // not at all.
  void ingest_killed() {
    pid_t pid = spawn_tool("--once");
    ASSERT_GT(pid, 0);
    bool ended = false;
    wait_until(
        [&] {
          ended = waitpid(pid, nullptr, WNOHANG) == pid;
          return ended || cluster_->query(database_,
                                          "SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
                                          "AND state = 'active' AND (query LIKE 'COPY%' OR query LIKE 'INSERT%')") !=
                              "0\n";
        },
        std::chrono::seconds(60));
    if (!ended) {
      std::random_device seed;
      std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 1500)(seed)));
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    std::string committed = cluster_->query(database_, "SELECT count(*) FROM readings");
    std::string files = cluster_->query(database_, "SELECT count(*) FROM ingested_files");
    std::printf("killed with %s readings committed\n", committed.substr(0, committed.find('\n')).c_str());
    std::string all = std::to_string(readings_.size()) + "\n";
    EXPECT_TRUE((committed == "0\n" && files == "0\n") || (committed == all && files == "1\n"))
        << committed << " readings and " << files << " files committed; all or nothing is 0 or " << all;
  }

  // Both tools find the server's months without a partition and make
  // them at the same moment.
  void ingest_by_two_tools() {
    ASSERT_EQ(cluster_->query(database_,
                              "DO $$ DECLARE p regclass; BEGIN FOR p IN SELECT inhrelid FROM pg_inherits "
                              "WHERE inhparent = 'responses'::regclass AND inhrelid <> 'responses_default'::regclass "
                              "LOOP EXECUTE 'DROP TABLE ' || p; END LOOP; END $$"),
              "");
    pid_t first = spawn_tool("--once", "/site/site", "/first.out");
    pid_t second = spawn_tool("--once", "/site/site2", "/second.out");
    for (auto [pid, out] : {std::pair{first, "/first.out"}, std::pair{second, "/second.out"}}) {
      int status = -1;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      EXPECT_EQ(status, 0) << read_whole_file(root.at(out));
    }
  }

  // The readings and files loaded so far, moved into the tables version 1
  // kept; then --init moves them back.
  void migrate_from_version_1() {
    ASSERT_EQ(cluster_->query(database_,
                              "CREATE TABLE v1_rows AS SELECT * FROM readings;"
                              "CREATE TABLE v1_files AS SELECT gateway, name, size, sha256, lines, rejected, readings, "
                              "loaded_at FROM ingested_files;"
                              "DROP VIEW readings; DROP TABLE responses, series, register_map, gateways, "
                              "ingested_files, schema_version CASCADE;" +
                                  std::string(VERSION_1_TABLES) +
                                  "INSERT INTO readings SELECT * FROM v1_rows; INSERT INTO ingested_files SELECT * "
                                  "FROM v1_files; DROP TABLE v1_rows, v1_files;"),
              "");
    ToolRun refused = ingest_once();
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("the database holds schema version none, this tool writes version 2: run "
                               "meterscribe-ingest --init first"),
              std::string::npos)
        << refused.err;
    ToolRun init = ingest("--init");
    ASSERT_EQ(init.status, 0) << init.err;
    EXPECT_EQ(cluster_->query(database_, "SELECT version FROM schema_version"), "2\n");
  }

  std::vector<std::string> query_lines(const std::string& sql) { return sorted(lines_of(cluster_->query(database_, sql))); }

  static PostgresCluster* cluster_;
  static std::string unavailable_;
  std::string database_;
  std::multiset<std::string> readings_;  // decode's CSV records of each response, times in UTC
  std::set<std::string> responses_;       // the good lines delivered
  std::set<std::string> rejects_;   // decode's reports: name:line: reason
  std::set<std::string> reject_keys_;  // name|text|occurrence of each bad line recorded
  std::set<std::string> files_;     // name|size|sha256|lines|rejected
  std::set<std::string> frames_;    // the hex bytes of each good line
  Files refused_;  // files the database refuses, or every file when the site is refused
  Files tree_;     // files left in the gateway's directory once loaded
  Files archive_;  // files in the archive's directory of the gateway
  Files appended_;  // what has been appended to a file so far
  std::map<std::string, int> writing_;  // descriptors kept open by a writer, by name
  std::string elsewhere_;  // the archive on another file system
};

PostgresCluster* IngestTest::cluster_ = nullptr;
std::string IngestTest::unavailable_;

TEST_P(IngestTest, EveryReadingOnceAndEveryBadLineRejected) {
  const IngestCase& c = GetParam();
  pid_t watcher = c.watch && !c.watch_after_first_round ? spawn_tool(disposal_options()) : -1;
  for (std::size_t round = 0; round < c.rounds.size(); ++round) {
    for (const Delivery& delivery : c.rounds[round]) deliver(delivery);
    if (c.watch && watcher < 0) watcher = spawn_tool(disposal_options());
    if (c.rounds[round].empty()) std::this_thread::sleep_for(std::chrono::seconds(c.settle_s + 1));
    if (c.watch && c.refusal_lifted) lift_refusals();
    if (c.watch) {
      EXPECT_TRUE(wait_until([&] { return cluster_->query(database_, "SELECT count(*) FROM ingested_files") ==
                                          std::to_string(files_.size()) + "\n"; },
                             std::chrono::seconds(30)))
          << read_whole_file(root.at("/background.out"));
      continue;
    }
    if (c.two_tools) {
      ingest_by_two_tools();
      continue;
    }
    if (round == 0 && c.kill_first_round) {
      ingest_killed();
      continue;
    }
    ToolRun run = ingest_once();
    if (c.unknown_tz != nullptr) {
      EXPECT_EQ(run.status, 2) << run.out << run.err;
      EXPECT_NE(run.err.find(root.at("/site/site") + ":1: unknown zone " + c.unknown_tz), std::string::npos)
          << run.err;
      continue;
    }
    EXPECT_EQ(run.status, refused_.empty() ? 0 : 1) << run.out << run.err;
    if (round == 0 && c.from_version_1) migrate_from_version_1();
  }
  // The watcher disposes of a file once it has settled, without an event.
  if (watcher > 0 && c.loaded != Loaded::stay) {
    EXPECT_TRUE(wait_until([&] { return files_in(root.at("/tree/gw1")) == tree_; },
                           std::chrono::seconds(c.settle_s + 30)))
        << read_whole_file(root.at("/background.out"));
  }
  if (watcher > 0) {
    kill(watcher, SIGTERM);
    waitpid(watcher, nullptr, 0);
  }
  // Months that enter the window leave the default partition with their
  // rows.
  if (c.months_back != 12) {
    EXPECT_EQ(cluster_->query(database_, "SELECT meterscribe_partitions(" + std::to_string(c.months_back) + ")"),
              std::to_string(c.months_back - 12) + "\n");
  }
  // decode's CSV columns: time, meter, slave, function, address, name,
  // unit, raw, value; a float's raw number is its value.
  std::vector<std::string> readings = query_lines(
      "SELECT to_char(time AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"') || ',' || meter || ',' || slave || "
      "',' || function || ',' || address || ',' || coalesce(name, '') || ',' || coalesce(unit, '') || ',' || "
      "coalesce(raw::text, value::text) || ',' || value FROM readings");
  EXPECT_EQ(readings, std::vector<std::string>(readings_.begin(), readings_.end()));
  EXPECT_EQ(query_lines("SELECT file || ':' || line || ': ' || reason FROM rejects"),
            std::vector<std::string>(rejects_.begin(), rejects_.end()));
  EXPECT_EQ(query_lines("SELECT name || '|' || size || '|' || sha256 || '|' || lines || '|' || rejected "
                        "FROM ingested_files"),
            std::vector<std::string>(files_.begin(), files_.end()));
  // Months far from the server's clock share one partition.
  EXPECT_EQ(cluster_->query(database_, "SELECT count(*) FROM pg_inherits WHERE inhparent = 'responses'::regclass"),
            std::to_string(c.months_back + 2 + 1 + 1) + "\n");
  // The raw frame stays beside the values.
  EXPECT_EQ(query_lines("SELECT DISTINCT encode(frame, 'hex') FROM readings"),
            std::vector<std::string>(frames_.begin(), frames_.end()));
  // Loaded files stay, or went to the archive or away, each as delivered
  // last; files that failed to load stay where they were.
  if (!c.watch) {
    tree_.insert(refused_.begin(), refused_.end());
    EXPECT_EQ(files_in(root.at("/tree/gw1")), tree_);
  }
  EXPECT_EQ(files_in(archive_root() + "/gw1"), archive_);
  if (c.archive_elsewhere) {
    EXPECT_EQ(root.read_file("/outside"), "untouched\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Deliveries, IngestTest, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<IngestCase>& param) { return param.param.what; });

}  // namespace
