// The log store past the 32-bit limits: names, lines and releases past
// January 2038, when a second count no longer fits 32 bits, and lines
// appended to a log file beyond 2 and 4 GiB. The clock is handed in, so
// this holds for 32-bit boards (built with 64-bit time and file offsets)
// without touching the system time.
#include "store/log_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/log_dir_test.h"
#include "support/temp_root.h"
#include "sys/paths.h"

namespace {

static_assert(sizeof(std::time_t) == 8, "build with 64-bit time (_TIME_BITS=64 on 32-bit targets)");

constexpr std::time_t T31 = std::time_t{1} << 31;  // 2038-01-19 03:14:08 UTC
const std::string BYTES = "01 03 02 00 2a 39 9b \n";

using Beyond32BitsTest = LogDirTest;

TEST_F(Beyond32BitsTest, NamesOnBothSidesOfThe32BitLimitsSortInTimeOrder) {
  struct Case {
    std::time_t when;
    const char* name;
  } cases[] = {
      {T31 - 1, "log-2038-01-19-03-14-07"},
      {T31, "log-2038-01-19-03-14-08"},
      {(std::time_t{1} << 32) - 1, "log-2106-02-07-06-28-15"},
      {std::time_t{1} << 32, "log-2106-02-07-06-28-16"},
      {253402300799, "log-9999-12-31-23-59-59"},
  };
  std::string previous;
  for (const Case& c : cases) {
    char name[LOG_NAME_SIZE];
    format_log_name(name, c.when);
    EXPECT_STREQ(name, c.name) << c.when;
    EXPECT_TRUE(is_log_name(name)) << name;
    EXPECT_LT(previous, name);
    previous = name;
  }
}

TEST_F(Beyond32BitsTest, AFileBegunBeforeTheLimitIsReleasedByALineAfterIt) {
  append(T31 - 600);
  append(T31 + 400);  // 16 min 40 s later: due under a 15-minute send period
  EXPECT_EQ(files(), (std::vector<std::string>{"log-2038-01-19-03-04-08", "log-2038-01-19-03-20-48"}));
  EXPECT_STREQ(release.ready_name, "log-2038-01-19-03-04-08");
  EXPECT_EQ(content("log-2038-01-19-03-04-08"), "m0:2038-01-19-03-04-08:" + BYTES);
  EXPECT_EQ(content("log-2038-01-19-03-20-48"), "m0:2038-01-19-03-20-48:" + BYTES);
}

TEST_F(Beyond32BitsTest, AFileNotYetDueAcrossTheLimitTakesTheNextLine) {
  append(T31 - 300);
  append(T31 + 500);  // 13 min 20 s later
  EXPECT_EQ(files(), std::vector<std::string>{"log-2038-01-19-03-09-08"});
  EXPECT_STREQ(release.ready_name, "");
  EXPECT_EQ(content("log-2038-01-19-03-09-08"), "m0:2038-01-19-03-09-08:" + BYTES + "m0:2038-01-19-03-22-28:" + BYTES);
}

TEST_F(Beyond32BitsTest, CutoffsAcrossTheLimit) {
  struct Case {
    std::time_t now;
    std::uint32_t send_period;
    const char* cutoff;
  } cases[] = {
      {T31 + 60, 15, "log-2038-01-19-03-00-08"},  // now past the limit, cut-off before it
      {T31 + 899, 15, "log-2038-01-19-03-14-07"},
      {T31 + 900, 15, "log-2038-01-19-03-14-08"},
      {(std::time_t{1} << 32) + 30, 1, "log-2106-02-07-06-27-46"},
  };
  for (const Case& c : cases) {
    char cutoff[LOG_NAME_SIZE];
    format_release_cutoff(cutoff, c.now, c.send_period);
    EXPECT_STREQ(cutoff, c.cutoff) << c.now;
  }
}

// A card left without uploads for long gathers big files; the line must
// land whole at the end, past any 32-bit offset.
TEST_F(Beyond32BitsTest, LinesAreAppendedToALogFilePastTwoAndFourGibibytes) {
  constexpr std::time_t T0 = 1709647629;  // 2024-03-05 14:07:09 UTC
  const std::string name = "log-2024-03-05-14-07-09";
  const std::string path = dir + "/" + name;
  const std::string line = "m0:2024-03-05-14-08-09:" + BYTES;
  for (off_t size : {(off_t{1} << 31) + 5, (off_t{1} << 32) + 5}) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);  // sparse: no blocks are written
    close(fd);
    append(T0 + 60);  // one minute on: the current file takes the line
    EXPECT_EQ(files(), std::vector<std::string>{name});
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, size + static_cast<off_t>(line.size())) << size;
    std::string tail(line.size(), '\0');
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pread(fd, tail.data(), tail.size(), size), static_cast<ssize_t>(tail.size()));
    close(fd);
    EXPECT_EQ(tail, line) << size;
  }
}

}  // namespace
