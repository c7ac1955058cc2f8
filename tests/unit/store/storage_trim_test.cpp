#include "store/storage_trim_internal.h"

#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "store/log_store.h"
#include "support/log_capture.h"
#include "support/store_fixture.h"

namespace {

using Lines = std::vector<std::string>;

const std::string LINE1 = "aaaaaaaaa\n";  // three lines of 10 bytes
const std::string LINE2 = "bbbbbbbbb\n";
const std::string LINE3 = "ccccccccc\n";
const std::string OLD = "log-2024-01-01-00-00-01";

class TrimTest : public StoreFixture {
 protected:
  std::string removal(const std::string& name, const char* reason) const { return log_path(name) + "|" + reason; }
};

// The longest line the daemon writes, LOG_LINE_MAX bytes with its newline.
const std::string LONGEST_LINE = std::string(LOG_LINE_MAX - 1, 'x') + "\n";

TEST_F(TrimTest, CutsTheHeadJustAfterTheFirstLineEndAtOrAfterTheOffset) {
  struct Case {
    std::string content;
    std::uint64_t cut_remaining;
    std::string kept;
  };
  const Case cases[] = {
      {LINE1 + LINE2 + LINE3, 9, LINE2 + LINE3},
      {LINE1 + LINE2 + LINE3, 10, LINE3},
      {LINE1 + LONGEST_LINE + LINE3, 10, LINE3},  // its line end is the last byte the search reads
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cut_remaining);
    ::unlink(root.at("/removed").c_str());
    write_log(OLD, c.content);
    EXPECT_EQ(cut_file_head(log_dir, OLD.c_str(), c.cut_remaining), CutOutcome::walk_ends);
    EXPECT_EQ(read_log(OLD), c.kept);
    EXPECT_EQ(recorded("removed"), Lines{removal(OLD + ".tmp", "storage_full_tmp")});
    EXPECT_FALSE(exists(OLD + ".tmp"));
  }
}

// A line end further from the offset than the longest line the daemon
// writes is no log line's: the search stops there.
TEST_F(TrimTest, AFileWithoutALineEndBeforeItsLastByteGoesWholeAndEndsTheWalk) {
  for (const std::string& content : {std::string("aaaa\nbbbb\n"), std::string("aaaabbbbbb"),
                                     "aaaaaa" + LONGEST_LINE.substr(0, LOG_LINE_MAX - 1) + "x\n" + LINE3}) {
    SCOPED_TRACE(content);
    write_log(OLD, content);
    EXPECT_EQ(cut_file_head(log_dir, OLD.c_str(), 6), CutOutcome::walk_ends);
    EXPECT_FALSE(exists(OLD));
    EXPECT_FALSE(exists(OLD + ".tmp"));
  }
}

TEST_F(TrimTest, NeverReplacesATmpLeftByAnEarlierCut) {
  LogCapture log;
  write_log(OLD, LINE1 + LINE2 + LINE3);
  write_log(OLD + ".tmp", "only copy\n");
  EXPECT_EQ(cut_file_head(log_dir, OLD.c_str(), 9), CutOutcome::walk_goes_on);
  EXPECT_EQ(log.texts(), Lines{"Can not rename file to tmp"});
  EXPECT_EQ(read_log(OLD), LINE1 + LINE2 + LINE3);
  EXPECT_EQ(read_log(OLD + ".tmp"), "only copy\n");
  EXPECT_TRUE(recorded("removed").empty());
}

// Faults for a head cut, set up in a child process so that they never
// reach the test itself.
void no_fault() {}

// A file size limit makes the kept part fail to reach the disk, as a full
// card would; the flush or the close is where it shows.
void limit_file_size() {
  std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit {8, 8};
  setrlimit(RLIMIT_FSIZE, &limit);
}

// Every descriptor but one taken: the old content opens, the new file
// under the old name does not.
void leave_one_descriptor() {
  int lowest = ::open("/dev/null", O_RDONLY);
  struct rlimit limit {};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = static_cast<rlim_t>(lowest) + 16;
  setrlimit(RLIMIT_NOFILE, &limit);
  int last = lowest;
  for (int fd = lowest; fd >= 0; fd = ::open("/dev/null", O_RDONLY)) last = fd;
  ::close(last);
}

// Whatever fails once the file has moved to its ".tmp" name, the whole old
// content comes back under its name, with one message for what failed, and
// the walk goes on.
TEST_F(TrimTest, AnyFailureAfterTheMoveBringsTheWholeOldContentBack) {
  struct Case {
    const char* failing;
    std::string content;
    std::uint64_t cut_remaining;
    void (*fault)();
    bool removal_fails;
    Lines messages;
    std::size_t removals;
  };
  const Case cases[] = {
      {"the seek", LINE1 + LINE2 + LINE3, UINT64_MAX, no_fault, false, {"Can not seek file"}, 0},
      {"the new file", LINE1 + LINE2 + LINE3, 9, leave_one_descriptor, false, {"Can not open file"}, 0},
      {"the write", LINE1 + LINE2 + LINE3, 9, limit_file_size, false, {"Can not write into file"}, 0},
      {"the removal of a cut file", LINE1 + LINE2 + LINE3, 6, no_fault, true, {"Can not remove file"}, 1},
      {"the removal of a file without a line end", "aaaa\nbbbb\n", 6, no_fault, true, {"Can not remove file"}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failing);
    ::unlink(root.at("/removed").c_str());
    ::unlink(root.at("/remove_fails").c_str());
    ::unlink(log_path(OLD + ".tmp").c_str());
    if (c.removal_fails) make_removal_fail();
    write_log(OLD, c.content);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      LogCapture log;
      c.fault();
      bool goes_on = cut_file_head(log_dir, OLD.c_str(), c.cut_remaining) == CutOutcome::walk_goes_on;
      _exit(goes_on && log.texts() == c.messages ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "the cut did not report the failure and go on";
    EXPECT_EQ(read_log(OLD), c.content);
    EXPECT_FALSE(exists(OLD + ".tmp"));
    EXPECT_EQ(recorded("removed").size(), c.removals);
  }
}

// A sparse file counts for what its blocks hold, not for its length: a
// terabyte of holes neither makes the trim take everything nor is it read
// under the release lock. A kept part that would be holes is never copied:
// the file goes whole.
TEST_F(TrimTest, SparseFilesCountForWhatTheyHoldAndTheirHolesAreNeverRead) {
  constexpr off_t TERABYTE = off_t{1} << 40;
  auto write_sparse = [&](const std::string& name, const std::string& head) {
    write_log(name, head);
    ASSERT_EQ(::truncate(log_path(name).c_str(), TERABYTE), 0);
    struct stat info {};
    ASSERT_EQ(::stat(log_path(name).c_str(), &info), 0);
    ASSERT_LT(info.st_blocks * 512, off_t{1} << 20) << "the file system does not keep holes";
  };
  set_ready_name("log-2024-01-01-00-00-05");
  {
    SCOPED_TRACE("all holes: nothing to gain");
    write_sparse("log-2024-01-01-00-00-01", "");
    trim_released_files(log_dir, release.ready_name, 1000);
    EXPECT_TRUE(recorded("removed").empty());
    ::unlink(log_path("log-2024-01-01-00-00-01").c_str());
  }
  {
    SCOPED_TRACE("lines, then holes, within the amount: gone whole");
    write_sparse("log-2024-01-01-00-00-02", LINE1 + LINE2);
    trim_released_files(log_dir, release.ready_name, 1 << 20);
    EXPECT_EQ(recorded("removed"), Lines{removal("log-2024-01-01-00-00-02", "storage_full")});
    ::unlink(root.at("/removed").c_str());
  }
  {
    SCOPED_TRACE("lines, then holes, cut: gone whole");
    write_sparse(OLD, LINE1 + LINE2);
    EXPECT_EQ(cut_file_head(log_dir, OLD.c_str(), 9), CutOutcome::walk_ends);
    EXPECT_EQ(recorded("removed"), Lines{removal(OLD + ".tmp", "storage_full_tmp")});
    EXPECT_FALSE(exists(OLD));
  }
}

TEST_F(TrimTest, TakesOnlyReleasedNonEmptyFilesAndLeavesTheRestByteForByte) {
  set_ready_name("log-2024-01-01-00-00-05");
  write_log("log-2024-01-01-00-00-01", "");
  write_log("log-2024-01-01-00-00-02", LINE1);
  write_log("abc", "x\n");  // sorts before ready_name: trimmed like a log file
  write_log("log-2024-01-01-00-00-06", LINE1 + LINE2);
  write_log("log-2024-01-01-00-00-05.tmp", LINE3);
  trim_released_files(log_dir, release.ready_name, 1000);
  EXPECT_EQ(recorded("removed"),
            (Lines{removal("abc", "storage_full"), removal("log-2024-01-01-00-00-02", "storage_full")}));
  EXPECT_TRUE(exists("log-2024-01-01-00-00-01"));
  EXPECT_EQ(read_log("log-2024-01-01-00-00-06"), LINE1 + LINE2);
  EXPECT_EQ(read_log("log-2024-01-01-00-00-05.tmp"), LINE3);
}

TEST_F(TrimTest, AFileAsLargeAsTheAmountGoesWholeAndEndsTheWalk) {
  set_ready_name("log-2024-01-01-00-00-05");
  write_log("log-2024-01-01-00-00-01", LINE1);
  write_log("log-2024-01-01-00-00-02", LINE2);
  trim_released_files(log_dir, release.ready_name, 10);
  Lines removed = recorded("removed");
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_NE(removed[0].find("|storage_full"), std::string::npos);
  EXPECT_NE(exists("log-2024-01-01-00-00-01"), exists("log-2024-01-01-00-00-02"));
}

TEST_F(TrimTest, AFailedWholeRemovalDoesNotCountAgainstTheAmount) {
  set_ready_name("log-2024-01-01-00-00-05");
  write_log("log-2024-01-01-00-00-01", LINE1);
  write_log("log-2024-01-01-00-00-02", LINE2);
  make_removal_fail();
  trim_released_files(log_dir, release.ready_name, 10);
  EXPECT_EQ(recorded("removed").size(), 2u);
  EXPECT_EQ(read_log("log-2024-01-01-00-00-01"), LINE1);
}

// Paths live in buffers of the root's length plus 258 bytes; the log
// directory takes 21 of the 257 characters with its slash.
TEST_F(TrimTest, SkipsNamesWhosePathOrTmpNameWouldBeCut) {
  set_ready_name("b");
  const std::string longest(232, 'a');  // its ".tmp" name is 257 characters
  for (std::size_t length : {232u, 233u, 236u, 237u}) write_log(std::string(length, 'a'), LINE1);
  trim_released_files(log_dir, release.ready_name, 1000);
  EXPECT_EQ(recorded("removed"), Lines{removal(longest, "storage_full")});
  for (std::size_t length : {233u, 236u, 237u}) EXPECT_EQ(read_log(std::string(length, 'a')), LINE1);
}

// A card may hold links under released names, and a name the listing gave
// as a regular file may be a link by the time the walk reaches it. A link
// is never opened, cut or handed to removeFile, whether its size (the
// target's) would have gone whole or been cut: the target stays as it was
// and no copy of it appears in the log directory.
TEST_F(TrimTest, LinksAreNeitherReadNorChangedWhetherTheyWouldGoWholeOrBeCut) {
  const std::string secret = root.at("/secret");
  root.write_file("/secret", LINE1 + LINE2 + LINE3, 0600);
  auto expect_untouched = [&](const std::vector<std::string>& links) {
    EXPECT_EQ(read_whole_file(secret), LINE1 + LINE2 + LINE3);
    for (const std::string& name : links) {
      struct stat info {};
      ASSERT_EQ(::lstat(log_path(name).c_str(), &info), 0) << name;
      EXPECT_TRUE(S_ISLNK(info.st_mode)) << name;
      EXPECT_FALSE(exists(name + ".tmp")) << name;
    }
  };
  {
    SCOPED_TRACE("a head cut");
    ASSERT_EQ(::symlink(secret.c_str(), log_path(OLD).c_str()), 0);
    LogCapture log;
    EXPECT_EQ(cut_file_head(log_dir, OLD.c_str(), 9), CutOutcome::walk_goes_on);
    EXPECT_EQ(log.texts(), Lines{"Can not open file"});
    expect_untouched({OLD});
    EXPECT_TRUE(recorded("removed").empty());
    ::unlink(log_path(OLD).c_str());
  }
  {
    SCOPED_TRACE("whole removals");
    // The first removal turns every other released file into a link.
    const std::vector<std::string> names = {"log-2024-01-01-00-00-02", "log-2024-01-01-00-00-03",
                                            "log-2024-01-01-00-00-04"};
    for (const std::string& name : names) write_log(name, LINE1);
    root.write_script(REMOVE_SCRIPT, "echo \"$1\" >> '" + root.at("/removed") + "'\nfor f in '" +
                                         std::string(log_dir.path.data()) + "'/log-*; do\n  [ \"$f\" = \"$1\" ] || ln -sf '" +
                                         secret + "' \"$f\"\ndone\nrm -f -- \"$1\"\n");
    set_ready_name(names.back());
    trim_released_files(log_dir, release.ready_name, 1000);
    Lines removed = recorded("removed");
    ASSERT_EQ(removed.size(), 1u);
    std::vector<std::string> links;
    for (const std::string& name : names)
      if (log_path(name) != removed[0]) links.push_back(name);
    expect_untouched(links);
  }
}

}  // namespace
