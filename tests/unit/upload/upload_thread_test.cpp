#include "upload/upload_thread.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/store_fixture.h"
#include "sys/clock.h"

namespace {

using Lines = std::vector<std::string>;

const std::string FIRST = "log-2024-01-01-00-00-01";
const std::string SECOND = "log-2024-01-01-00-00-02";
const std::string THIRD = "log-2024-01-01-00-00-03";

// The send script records "<argument count>|<first argument>" and fails for
// paths in a directory named fail or while <root>/send_fails exists. While
// <root>/hold exists it says so in <root>/started and waits for
// <root>/release.
class UploadThreadTest : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    make_removal_fail();  // trims after failed sends must leave the files be
    root.write_script(SEND_SCRIPT, "printf '%s|%s\\n' \"$#\" \"$1\" >> '" + root.at("/sent") +
                                       "'\n"
                                       "if [ -e '" + root.at("/hold") + "' ]; then\n  : > '" + root.at("/started") +
                                       "'\n  n=0\n  while [ ! -e '" + root.at("/release") +
                                       "' ] && [ $n -lt 400 ]; do sleep 0.05; n=$((n+1)); done\nfi\n"
                                       "case \"$1\" in */fail/*) exit 1;; esac\n[ ! -e '" + root.at("/send_fails") +
                                       "' ]\n");
  }
  std::string sent(const std::string& name) const { return "1|" + log_path(name); }

  UploadSetup setup{&log_dir, &release, 0};
};

TEST_F(UploadThreadTest, OffersOnlyReleasedFilesEachPathAsOneArgument) {
  const std::string odd = "it's a log";  // a blank and a quote; sorts before "log-"
  for (const std::string& name : {FIRST, SECOND, THIRD, std::string("abc"), odd, std::string("zzz")})
    write_log(name, "line\n");
  struct Case {
    std::string ready_name;
    Lines offered;
  };
  const Case cases[] = {
      {SECOND, Lines{sent("abc"), sent(odd), sent(FIRST), sent(SECOND)}},
      {"abc", Lines{}},  // not a log file name: nothing is released
      {"", Lines{}},
      {SECOND + "0", Lines{}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ready_name);
    ::unlink(root.at("/sent").c_str());
    set_ready_name(c.ready_name);
    std::int64_t next_send = 0;
    upload_pass(setup, &next_send);
    EXPECT_EQ(recorded("sent"), c.offered);
  }
}

TEST_F(UploadThreadTest, OnlyASuccessMovesTheNextPassSendPeriodOn) {
  setup.send_period = 7;
  set_ready_name(SECOND);
  write_log(FIRST, "line\n");
  std::int64_t before = monotonic_seconds();
  std::int64_t next_send = 0;
  upload_pass(setup, &next_send);
  EXPECT_GE(next_send, before + 7 * 60);
  EXPECT_LE(next_send, monotonic_seconds() + 7 * 60);

  root.write_file("/send_fails", "");
  next_send = 0;
  upload_pass(setup, &next_send);
  EXPECT_EQ(next_send, 0);

  // A path that would be cut names another file: never run, a failure.
  ::unlink(root.at("/send_fails").c_str());
  ::unlink(root.at("/sent").c_str());
  ::unlink(log_path(FIRST).c_str());
  write_log(std::string(240, 'a'), "line\n");
  upload_pass(setup, &next_send);
  EXPECT_EQ(next_send, 0);
  EXPECT_TRUE(recorded("sent").empty());
}

TEST_F(UploadThreadTest, SendRunsWithoutReadyLockHeld) {
  set_ready_name(SECOND);
  write_log(FIRST, "line\n");
  root.write_file("/hold", "");
  std::int64_t next_send = 0;
  std::thread pass([&] { upload_pass(setup, &next_send); });
  bool started = false;
  for (int i = 0; i < 400 && !started; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    started = ::access(root.at("/started").c_str(), F_OK) == 0;
  }
  int locked = pthread_mutex_trylock(&release.ready_lock);
  if (locked == 0) pthread_mutex_unlock(&release.ready_lock);
  root.write_file("/release", "");
  pass.join();
  ASSERT_TRUE(started) << "send never ran";
  EXPECT_EQ(locked, 0) << "ready_lock was held while send ran";
}

// Real time: the thread wakes every 5 seconds. Three daemons run side by
// side for 13 seconds, each in a process of its own, since the thread never
// ends: a delivered file with a long send period is offered once, while
// failures and a send period of 0 bring a pass after every pause.
TEST_F(UploadThreadTest, ThreadPacesPassesBySendPeriodAndRetriesFailures) {
  struct Daemon {
    const char* dir;
    std::uint32_t send_period;
    std::size_t least;
    std::size_t most;
  };
  const Daemon daemons[] = {{"/var/meterscribe/mnt/long", 600, 1, 1},
                            {"/var/meterscribe/mnt/zero", 0, 2, 3},
                            {"/var/meterscribe/mnt/fail", 0, 2, 3}};
  std::vector<pid_t> children;
  for (const Daemon& d : daemons) {
    use_log_dir(d.dir);
    setup.send_period = d.send_period;
    set_ready_name(FIRST);
    write_log(FIRST, "line\n");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      bool started = start_upload_thread(&setup);
      sleep(13);
      _exit(started ? 0 : 1);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
  }
  Lines calls = recorded("sent");
  for (const Daemon& d : daemons) {
    SCOPED_TRACE(d.dir);
    std::string line = "1|" + root.at(d.dir) + "/" + FIRST;
    auto offers = static_cast<std::size_t>(std::count(calls.begin(), calls.end(), line));
    EXPECT_GE(offers, d.least);
    EXPECT_LE(offers, d.most);
  }
}

}  // namespace
