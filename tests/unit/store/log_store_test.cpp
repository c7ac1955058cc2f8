#include "store/log_store.h"

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/log_dir_test.h"
#include "support/temp_root.h"
#include "sys/log.h"

namespace {

// 2024-03-05 14:07:09 UTC.
constexpr std::time_t T0 = 1709647629;

class LogStoreTest : public LogDirTest {
 protected:
  void touch(const std::string& name, const std::string& text = "") const { write_whole_file(dir + "/" + name, text); }
};

const std::string LINE_T0 = "m0:2024-03-05-14-07-09:01 03 02 00 2a 39 9b \n";

TEST_F(LogStoreTest, FirstLineBeginsAFileNamedAfterNowWithTheExactLineFormat) {
  append(T0);
  ASSERT_EQ(files(), std::vector<std::string>{"log-2024-03-05-14-07-09"});
  EXPECT_EQ(content("log-2024-03-05-14-07-09"), LINE_T0);
  append(T0 + 60, 9);
  EXPECT_EQ(content("log-2024-03-05-14-07-09"), LINE_T0 + "m9:2024-03-05-14-08-09:01 03 02 00 2a 39 9b \n");
  EXPECT_STREQ(release.ready_name, "");
}

TEST_F(LogStoreTest, AFileOlderThanTheSendPeriodIsReleasedAndANewOneBegun) {
  append(T0);
  append(T0 + 15 * 60 - 1);  // not yet due
  EXPECT_EQ(files().size(), 1u);
  append(T0 + 15 * 60 + 1);
  EXPECT_STREQ(release.ready_name, "log-2024-03-05-14-07-09");
  EXPECT_EQ(files(), (std::vector<std::string>{"log-2024-03-05-14-07-09", "log-2024-03-05-14-22-10"}));
}

TEST_F(LogStoreTest, ZeroSendPeriodReleasesOnEveryNewSecond) {
  store.send_period = 0;
  append(T0);
  append(T0);
  EXPECT_EQ(files().size(), 1u);
  append(T0 + 1);
  EXPECT_STREQ(release.ready_name, "log-2024-03-05-14-07-09");
  EXPECT_EQ(files().size(), 2u);
}

TEST_F(LogStoreTest, WaitingFilesInAnyDirectoryOrderDoNotFragmentTheCurrentFile) {
  // Files waiting for upload while the uplink is down, plus files that are
  // no log files at all; they must neither receive lines nor be released.
  for (const char* name : {"log-2024-03-05-13-00-00", "log-2024-03-05-12-00-00", "log-2024-03-05-13-30-00"})
    touch(name, "old\n");
  touch("zzz-notes");
  touch("abc");
  touch("log-2024-03-05-14-07-09.tmp", "kept\n");
  std::string released = "log-2024-03-05-13-30-00";
  for (int i = 0; i < 20; ++i) append(T0 + i);
  EXPECT_EQ(std::string(release.ready_name), released);
  std::string current = "log-2024-03-05-14-07-09";
  std::string text = content(current);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 20);
  for (const char* name : {"log-2024-03-05-13-00-00", "log-2024-03-05-12-00-00", "log-2024-03-05-13-30-00"})
    EXPECT_EQ(content(name), "old\n");
  EXPECT_EQ(content("zzz-notes"), "");
  EXPECT_EQ(content("log-2024-03-05-14-07-09.tmp"), "kept\n");
}

// Files vanish from a card (delivered and removed, or taken out by hand);
// an older log file that is then the newest was released long ago, and
// releasing it again would move the released name backwards.
TEST_F(LogStoreTest, TheReleasedNameNeverMovesBackwards) {
  touch("log-2024-03-05-12-00-00", "old\n");
  touch("log-2024-03-05-13-00-00", "old\n");
  append(T0);
  ASSERT_STREQ(release.ready_name, "log-2024-03-05-13-00-00");
  ::unlink((dir + "/log-2024-03-05-13-00-00").c_str());
  ::unlink((dir + "/log-2024-03-05-14-07-09").c_str());
  append(T0 + 1);
  EXPECT_STREQ(release.ready_name, "log-2024-03-05-13-00-00");
  EXPECT_EQ(files(), (std::vector<std::string>{"log-2024-03-05-12-00-00", "log-2024-03-05-14-07-10"}));
  EXPECT_EQ(content("log-2024-03-05-12-00-00"), "old\n");
}

// A trim holds the release lock while a line is due to release the current
// file: the new file is named when it was chosen, and the line's header is
// the time it was written, after the wait.
TEST_F(LogStoreTest, TheHeaderIsTheTimeTheLineIsWrittenAfterTheChoice) {
  touch("log-2000-01-01-00-00-00", "old\n");
  pthread_mutex_lock(&release.ready_lock);
  std::time_t chosen_by = std::time(nullptr) + 1;
  std::thread writer([this] { append_log_line(store, 0, RESPONSE.data(), RESPONSE.size()); });
  while (std::time(nullptr) <= chosen_by) usleep(50 * 1000);
  pthread_mutex_unlock(&release.ready_lock);
  writer.join();
  std::vector<std::string> names = files();
  ASSERT_EQ(names.size(), 2u);
  ASSERT_STREQ(release.ready_name, "log-2000-01-01-00-00-00");
  std::string named = names[1].substr(4);
  std::string header = content(names[1]).substr(3, named.size());
  LogName limit;
  format_log_name(limit, chosen_by);
  EXPECT_LE(named, std::string(limit).substr(4));
  EXPECT_GT(header, std::string(limit).substr(4));
}

TEST_F(LogStoreTest, AClockSetBackNeverWritesIntoOrBeforeAReleasedFile) {
  append(T0);
  append(T0 + 16 * 60);  // releases log-...-14-07-09, begins log-...-14-23-09
  EXPECT_STREQ(release.ready_name, "log-2024-03-05-14-07-09");
  // Upload thread's view: the released file is sealed.
  std::string released_content = content("log-2024-03-05-14-07-09");
  // The clock goes back half a day; the current file is not yet due and takes lines.
  append(T0 - 43200);
  EXPECT_EQ(files().size(), 2u);
  // Now release the current file under the back-set clock... it cannot be
  // due; so mark it released by hand, in the polling side's own copy and
  // in the shared name, as a release would.
  snprintf(store.released, sizeof store.released, "%s", "log-2024-03-05-14-23-09");
  release_publish(release, store.released);
  append(T0 - 43200 + 1);
  std::vector<std::string> names = files();
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[2], "log-2024-03-05-14-23-10");  // one second past the released name
  EXPECT_EQ(content("log-2024-03-05-14-07-09"), released_content);
  EXPECT_EQ(content("log-2024-03-05-14-23-10"), "m0:2024-03-05-02-07-10:01 03 02 00 2a 39 9b \n");
}

// A name of the log form that no clock gave, planted on a card, or one more
// than a day ahead of the clock, must not take the lines: nothing would
// ever release it. The lines go into a file named after now, which is
// released in time.
TEST_F(LogStoreTest, ANameOfNoTimeOrMoreThanADayAheadNeverTakesLines) {
  const std::vector<std::string> planted = {"log-2024-02-30-00-00-00", "log-2024-03-07-00-00-00",
                                            "log-9999-99-99-99-99-99"};
  for (const std::string& name : planted) touch(name);
  append(T0);
  append(T0 + 16 * 60);
  EXPECT_STREQ(release.ready_name, "log-2024-03-05-14-07-09");
  for (const std::string& name : planted) EXPECT_EQ(content(name), "") << name;
  EXPECT_EQ(content("log-2024-03-05-14-23-09"), "m0:2024-03-05-14-23-09:01 03 02 00 2a 39 9b \n");
  // A day ahead and no more, as after the clock went back, it is the current file.
  touch("log-2024-03-06-14-23-09");
  append(T0 + 16 * 60 + 1);
  EXPECT_EQ(content("log-2024-03-06-14-23-09"), "m0:2024-03-05-14-23-10:01 03 02 00 2a 39 9b \n");
}

// When the clock falls back in autumn, the hour from 02:00 repeats: a line
// at 02:10 CET finds the file begun at 02:20 CEST due (its cutoff, 30
// minutes back, reads 02:40 CEST). The new file must go past the name just
// released, or its lines would sort into what the upload thread owns.
TEST_F(LogStoreTest, ANewFileGoesPastTheNameItsOwnLineJustReleased) {
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  store.send_period = 30;
  append(1729988400);  // 2024-10-27 02:20:00 CEST
  append(1729991400);  // 2024-10-27 02:10:00 CET
  EXPECT_STREQ(release.ready_name, "log-2024-10-27-02-20-00");
  EXPECT_EQ(files(), (std::vector<std::string>{"log-2024-10-27-02-20-00", "log-2024-10-27-02-20-01"}));
  EXPECT_EQ(content("log-2024-10-27-02-20-01"), "m0:2024-10-27-02-10-00:01 03 02 00 2a 39 9b \n");
}

TEST_F(LogStoreTest, NamesAndCutoffsStayRightPastTheYear2038) {
  std::time_t later = 2208988800;  // 2040-01-01 00:00:00 UTC
  append(later);
  EXPECT_EQ(files(), std::vector<std::string>{"log-2040-01-01-00-00-00"});
  char cutoff[LOG_NAME_SIZE];
  format_release_cutoff(cutoff, later, 15);
  EXPECT_STREQ(cutoff, "log-2039-12-31-23-45-00");
  // A product of 60 * send_period past 2^32 wraps as an unsigned 32-bit number.
  format_release_cutoff(cutoff, later, 71582789);  // 60 * it = 4294967340 -> 44
  EXPECT_STREQ(cutoff, "log-2039-12-31-23-59-16");
  format_release_cutoff(cutoff, 100, 15);  // not past the product: now itself
  EXPECT_STREQ(cutoff, "log-1970-01-01-00-01-40");
}

TEST_F(LogStoreTest, LogNameFormIsRecognisedExactly) {
  struct Case {
    const char* name;
    bool is_log;
    bool is_time;  // and a calendar time
  } cases[] = {
      {"log-2024-03-05-14-07-09", true, true},   {"log-2024-03-05-14-07-09.tmp", false, false},
      {"log-2024-03-05-14-07-0", false, false},  {"log-2024-03-05-14-07-0x", false, false},
      {"LOG-2024-03-05-14-07-09", false, false}, {"log-2024/03-05-14-07-09", false, false},
      {"abc", false, false},                     {"", false, false},
      {"log-9999-99-99-99-99-99", true, false},  {"log-0000-01-01-00-00-00", true, true},
      {"log-2024-02-29-23-59-59", true, true},   {"log-2023-02-29-12-00-00", true, false},
      {"log-2000-02-29-12-00-00", true, true},   {"log-1900-02-29-12-00-00", true, false},
      {"log-2024-04-31-12-00-00", true, false},  {"log-2024-12-31-12-00-00", true, true},
      {"log-2024-13-01-12-00-00", true, false},  {"log-2024-00-01-12-00-00", true, false},
      {"log-2024-01-00-12-00-00", true, false},  {"log-2024-01-01-24-00-00", true, false},
      {"log-2024-01-01-23-60-00", true, false},  {"log-2024-01-01-23-59-60", true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_log_name(c.name), c.is_log) << c.name;
    EXPECT_EQ(is_log_time_name(c.name), c.is_time) << c.name;
  }
}

TEST_F(LogStoreTest, AnUnwritableDirectoryLosesTheLineWithAMessage) {
  LogCapture capture;
  use_log_dir(root.at("/no/such/dir"));
  append(T0);
  EXPECT_EQ(capture.count("Can not create file"), 1);
}

// A write cut short (here by the file-size limit, as a full card would)
// must leave no torn line behind.
TEST_F(LogStoreTest, AShortWriteLeavesNoTornLine) {
  append(T0);
  std::string path = dir + "/log-2024-03-05-14-07-09";
  pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{static_cast<rlim_t>(LINE_T0.size() + 10), static_cast<rlim_t>(LINE_T0.size() + 10)};
    setrlimit(RLIMIT_FSIZE, &limit);
    bool said = false;
    log_set_capture(nullptr);
    static bool* flag = &said;
    log_set_capture([](int, const char* text) {
      if (std::string(text) == "Can not write into file") *flag = true;
    });
    append(T0 + 1);
    _exit(said ? 0 : 3);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the failure was not reported";
  EXPECT_EQ(read_whole_file(path), LINE_T0);
}

}  // namespace
