// A memory card is not ours: whatever entries it holds, the daemon's lines
// stay in regular files of the log directory.
#include "store/log_store.h"

#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/log_dir_test.h"
#include "support/temp_root.h"

namespace {

constexpr std::time_t T0 = 1709647629;  // 2024-03-05 14:07:09 UTC
const std::string NAME_AT_T0 = "log-2024-03-05-14-07-09";

using LogLinkTest = LogDirTest;

// The newest-file search skips links, but the name of a new file comes from
// the clock, and a card may already hold a link under it: to a file of the
// system, or to a path that does not exist yet.
TEST_F(LogLinkTest, ALinkUnderTheNameOfANewLogFileIsNeverWrittenThrough) {
  for (bool target_exists : {true, false}) {
    SCOPED_TRACE(target_exists ? "link to an existing file" : "dangling link");
    std::string outside = root.at("/outside");
    ::unlink(outside.c_str());
    if (target_exists) write_whole_file(outside, "system file\n");
    std::string link = dir + "/" + NAME_AT_T0;
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(outside.c_str(), link.c_str()), 0);
    LogCapture log;
    append_log_line_at(store, 0, RESPONSE.data(), RESPONSE.size(), T0);
    struct stat info {};
    if (target_exists) EXPECT_EQ(read_whole_file(outside), "system file\n");
    else EXPECT_NE(::lstat(outside.c_str(), &info), 0) << "the line created a file outside the log directory";
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Can not create file"});
    ASSERT_EQ(::lstat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
  }
}

}  // namespace
