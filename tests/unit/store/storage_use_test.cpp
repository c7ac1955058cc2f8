// The storage readings come from an interposer, so they run in a re-executed
// copy of this binary that loads it: the parent test picks the readings, the
// child test measures, trims one released file and reports
// "<known> <percent> <failed readings logged> <trimmed>". A tmpfs the row
// asks for is mounted by the child in its own root: on the log directory
// itself ("own"), or on its parent, shared with whatever else lives there
// ("shared").
#include "store/storage_trim.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/reliability.h"
#include "support/store_fixture.h"

namespace {

const std::string OLD = "log-2024-01-01-00-00-01";
const std::string CONTENT = "aaaaaaaaa\nbbbbbbbbb\nccccccccc\n";

class InterposedChild : public StoreFixture {};

TEST_F(InterposedChild, MeasuresAndTrims) {
  const char* out = std::getenv("MS_STATS_OUT");
  if (out == nullptr) GTEST_SKIP() << "runs only inside StorageUseTest's interposed copy";
  std::string dir = std::getenv("MS_STATS_DIR");
  const char* mount = std::getenv("MS_STATS_MOUNT");
  std::unique_ptr<TmpfsMount> tmpfs;
  if (mount != nullptr) {
    std::string at = std::string(mount) == "own" ? dir : dir.substr(0, dir.rfind('/'));
    tmpfs = std::make_unique<TmpfsMount>(root.at(at), 1024);
    ASSERT_TRUE(tmpfs->mounted()) << tmpfs->why_not();
  }
  use_log_dir(dir);
  set_ready_name(OLD);
  write_log(OLD, CONTENT);
  LogCapture log;
  std::uint64_t percent = 0;
  bool known = storage_use_percent(log_dir, &percent);
  int failed_readings = log.count("error reading system statistics");
  trim_storage(log_dir, release.ready_name);
  write_whole_file(out, std::to_string(known) + " " + std::to_string(percent) + " " + std::to_string(failed_readings) +
                            " " + std::to_string(read_log(OLD) != CONTENT));
}

class StorageUseTest : public TempRootTest {
 protected:
  struct Figures {
    const char* statvfs;
    const char* sysinfo;
    const char* meminfo;
    const char* fstype;
    const char* mount = nullptr;  // "own", "shared" or none
  };
  std::string run_interposed(const char* dir, const Figures& figures) {
    std::string out = root.at("/stats.out");
    ::unlink(out.c_str());
    pid_t child = fork();
    if (child == 0) {
      set_or_clear("MS_FAKE_STATVFS", figures.statvfs);
      set_or_clear("MS_FAKE_SYSINFO", figures.sysinfo);
      set_or_clear("MS_FAKE_MEMINFO", figures.meminfo);
      set_or_clear("MS_FAKE_FSTYPE", figures.fstype);
      set_or_clear("MS_STATS_MOUNT", figures.mount);
      setenv("MS_STATS_OUT", out.c_str(), 1);
      setenv("MS_STATS_DIR", dir, 1);
      setenv("LD_PRELOAD", INTERPOSE_STORAGE_STATS, 1);
      // Under the address sanitizer the interposer is loaded ahead of it.
      const char* asan = std::getenv("ASAN_OPTIONS");
      std::string asan_options = std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
      setenv("ASAN_OPTIONS", asan_options.c_str(), 1);
      dup2(open("/dev/null", O_WRONLY), 1);
      execl("/proc/self/exe", "unit_store", "--gtest_filter=InterposedChild.*", nullptr);
      _exit(127);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    return read_whole_file(out);
  }

 private:
  static void set_or_clear(const char* name, const char* value) {
    if (value != nullptr) setenv(name, value, 1);
    else unsetenv(name);
  }
};

// RAM figures: 1 GiB in 4096-byte units with 10 MiB free, and 781 MiB
// available once the page cache is counted. Less the 32 MiB reserve that
// is 24 % used; by free memory alone it would read full.
TEST_F(StorageUseTest, TrimsFromSixtySevenPercentAndOnlyOnKnownReadings) {
  struct Case {
    const char* what;
    const char* dir;
    Figures figures;
    const char* expected;
  };
  const char* card = "/var/meterscribe/mnt";
  const char* ram = "/var/meterscribe/voldata";
  const char* gib = "262144 2560 4096";
  const Case cases[] = {
      {"66 % of the card leaves the file alone", card, {"1024 100 34", nullptr, nullptr, nullptr}, "1 66 0 0"},
      {"blocks of f_frsize bytes: 68 % trims", card, {"2048 50 16", nullptr, nullptr, nullptr}, "1 68 0 1"},
      {"67 % exactly", card, {"1024 100 33", nullptr, nullptr, nullptr}, "1 67 0 1"},
      {"a failed query trims nothing", card, {"fail", nullptr, nullptr, nullptr}, "0 0 2 0"},
      {"no capacity trims nothing", card, {"4096 0 0", nullptr, nullptr, nullptr}, "0 0 0 0"},
      {"free as large as the capacity reads full", card, {"1024 100 100", nullptr, nullptr, nullptr}, "1 100 0 1"},
      {"RAM in mem_unit less the reserve", ram, {"1024 100 34", "32868 32801 1024", "none", "disk"}, "1 67 0 1"},
      {"a trailing slash is not the RAM directory", "/var/meterscribe/voldata/",
       {"1024 100 34", "32868 32801 1024", "none", "disk"}, "1 66 0 0"},
      {"RAM of exactly the reserve has no capacity", ram, {nullptr, "32768 0 1024", "none", "disk"}, "0 0 0 0"},
      {"a failed RAM query trims nothing", ram, {nullptr, "fail", "none", "disk"}, "0 0 2 0"},
      {"reclaimable cache counts as free: no trim", ram, {nullptr, gib, "800000", "disk"}, "1 24 0 0"},
      {"without MemAvailable, buffers count as free", ram, {nullptr, "262144 2560 4096 200000", "none", "disk"},
       "1 23 0 0"},
      {"a tmpfs of its own that is 90 % full trims while RAM is free", ram,
       {"1024 100 10", gib, "800000", nullptr, "own"}, "1 90 0 1"},
      {"RAM unreadable: the tmpfs alone decides", ram, {"1024 100 20", "fail", "fail", nullptr, "own"}, "1 80 2 1"},
      {"RAM and tmpfs unreadable trims nothing", ram, {"fail", "fail", "fail", nullptr, "own"}, "0 0 4 0"},
      // Other users' files on a shared /run or /tmp must not cost the logs.
      {"a directory on a shared tmpfs is measured as RAM", ram, {"1024 100 10", gib, "800000", nullptr, "shared"},
       "1 24 0 0"},
      {"a directory whose file system says tmpfs is no tmpfs of its own", ram,
       {"1024 100 10", gib, "800000", "tmpfs"}, "1 24 0 0"},
      {"RAM unreadable on a shared tmpfs trims nothing", ram, {"1024 100 20", "fail", "fail", nullptr, "shared"},
       "0 0 2 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.figures.mount != nullptr && geteuid() != 0) {
      std::printf("skipped without root: %s\n", c.what);
      continue;
    }
    EXPECT_EQ(run_interposed(c.dir, c.figures), c.expected);
  }
}

}  // namespace
