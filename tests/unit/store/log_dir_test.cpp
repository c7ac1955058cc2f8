#include "store/log_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "store/log_dir_internal.h"
#include "support/reliability.h"
#include "support/temp_root.h"

namespace {

LogDir opened(const std::string& path) {
  LogDir dir;
  log_dir_open(dir, path.c_str());
  return dir;
}

// A bound above every name of these tests.
constexpr const char* EVERY_NAME = "\xff";

std::vector<std::string> listed_names(const std::string& dir, const char* upto = EVERY_NAME) {
  FileList list = log_dir_list(opened(dir), upto);
  EXPECT_NE(list, nullptr);
  std::vector<std::string> names;
  for (char** name = list.get(); list && *name != nullptr; ++name) names.emplace_back(*name);
  return names;
}

std::uint64_t directory_size(const std::string& dir, const char* upto = EVERY_NAME) {
  return log_dir_total_size(opened(dir), upto);
}

// The size as the trimming sees it: from the descriptor of a regular file
// opened for reading; -1 for anything that is not opened.
std::int64_t size_of(const LogDir& dir, const char* name) {
  unique_file stream = log_dir_open_read(dir, name);
  return stream ? stream_size(stream.get()) : -1;
}

bool directory_exists(const std::string& dir) {
  LogDir unused;
  return log_dir_open(unused, dir.c_str());
}

std::vector<std::string> sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

// The regular files in the order the directory stream gives them.
std::vector<std::string> stream_order(const std::string& dir) {
  std::vector<std::string> names;
  DIR* stream = opendir(dir.c_str());
  while (const dirent* entry = readdir(stream))
    if (entry->d_type == DT_REG) names.emplace_back(entry->d_name);
  closedir(stream);
  return names;
}

void make_socket(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof(address.sun_path));
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  close(fd);
}

class LogDirQueryTest : public TempRootTest {
 protected:
  std::string dir(const std::string& name) const {
    std::string path = root.at("/" + name);
    mkdir(path.c_str(), 0755);
    return path;
  }
};

// The daemon's listing stops at 999 names; the one for the tools and the
// server goes on to the last file.
TEST_F(LogDirQueryTest, ListsAtMost999FilesAndSizesOnlyThose) {
  const std::string logs = dir("logs");
  // File i holds i bytes, so the total tells exactly which files counted.
  for (int i = 1; i <= 1200; ++i) write_whole_file(logs + "/f" + std::to_string(i), std::string(std::size_t(i), 'x'));
  mkdir((logs + "/sub").c_str(), 0755);
  const std::vector<std::string> names = listed_names(logs);
  ASSERT_EQ(names.size(), 999u);
  const std::vector<std::string> all = stream_order(logs);
  ASSERT_EQ(all.size(), 1200u);
  EXPECT_EQ(names, std::vector<std::string>(all.begin(), all.begin() + 999));
  std::vector<std::string> every;
  EXPECT_TRUE(log_dir_each_file(opened(logs), [&](const char* name) { every.emplace_back(name); }));
  EXPECT_EQ(every, all);
  std::uint64_t listed_total = 0;
  for (const std::string& name : names) listed_total += std::stoull(name.substr(1));
  EXPECT_EQ(directory_size(logs), listed_total);
  // Names after the bound take no room: 1199 of them hide nothing.
  EXPECT_EQ(listed_names(logs, "f1"), std::vector<std::string>{"f1"});
  EXPECT_EQ(directory_size(logs, "f1"), 1u);
}

TEST_F(LogDirQueryTest, ListsRegularFilesOnly) {
  const std::string outside = root.at("/outside");
  write_whole_file(outside, std::string(1000, 'o'));
  const std::string mixed = dir("mixed");
  write_whole_file(mixed + "/a", "abc");
  write_whole_file(mixed + "/.hidden", "12345");
  write_whole_file(mixed + "/empty", "");
  const std::string special = dir("special");
  for (const std::string& d : {mixed, special}) {
    mkdir((d + "/sub").c_str(), 0755);
    ASSERT_EQ(symlink(outside.c_str(), (d + "/file-link").c_str()), 0);
    ASSERT_EQ(symlink(root.path().c_str(), (d + "/dir-link").c_str()), 0);
    ASSERT_EQ(mkfifo((d + "/fifo").c_str(), 0644), 0);
    make_socket(d + "/sock");
  }
  EXPECT_EQ(sorted(listed_names(mixed)), (std::vector<std::string>{".hidden", "a", "empty"}));
  EXPECT_EQ(directory_size(mixed), 8u);
  EXPECT_EQ(listed_names(special), std::vector<std::string>{});
  EXPECT_EQ(directory_size(special), 0u);
  EXPECT_EQ(listed_names(dir("empty")), std::vector<std::string>{});
}

TEST_F(LogDirQueryTest, DirectoryThatCannotBeOpened) {
  const std::string missing = root.at("/missing");
  const std::string file = root.at("/plain");
  write_whole_file(file, "text");
  for (const std::string& path : {missing, file}) {
    EXPECT_FALSE(directory_exists(path)) << path;
    EXPECT_EQ(listed_names(path), std::vector<std::string>{}) << path;
    EXPECT_EQ(directory_size(path), 0u) << path;
  }
  EXPECT_TRUE(directory_exists(root.path()));
  EXPECT_TRUE(directory_exists(dir("logs")));
}

TEST_F(LogDirQueryTest, UnreadableDirectory) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every directory; permission cases need a plain user";
  const std::string locked = dir("locked");
  write_whole_file(locked + "/a", "abc");
  chmod(locked.c_str(), 0);
  EXPECT_FALSE(directory_exists(locked));
  EXPECT_EQ(listed_names(locked), std::vector<std::string>{});
  EXPECT_EQ(directory_size(locked), 0u);
  // Readable but not searchable: the names are listed, their sizes unknown.
  chmod(locked.c_str(), 0444);
  EXPECT_EQ(listed_names(locked), std::vector<std::string>{"a"});
  EXPECT_EQ(directory_size(locked), 0u);
}

TEST_F(LogDirQueryTest, SizesPastFourGibibytes) {
  const std::string logs = dir("logs");
  const std::string big = logs + "/big";
  const off_t five_gib = off_t{5} << 30;
  int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, five_gib), 0);  // sparse: no blocks are written
  close(fd);
  write_whole_file(logs + "/small", "1234567");
  const LogDir log_dir = opened(logs);
  EXPECT_EQ(size_of(log_dir, "big"), five_gib);
  EXPECT_EQ(directory_size(logs), std::uint64_t(five_gib) + 7u);

  ASSERT_EQ(symlink(big.c_str(), (logs + "/big-link").c_str()), 0);
  EXPECT_EQ(size_of(log_dir, "big-link"), -1);  // a link is never opened
  EXPECT_EQ(size_of(log_dir, "small"), 7);
  write_whole_file(logs + "/empty", "");
  EXPECT_EQ(size_of(log_dir, "empty"), 0);
  EXPECT_EQ(size_of(log_dir, "missing"), -1);
}

TEST_F(LogDirQueryTest, FilesThatVanishWhileSizedCountZero) {
  const std::string logs = dir("logs");
  constexpr int FILES = 400;
  for (int i = 0; i < FILES; ++i) write_whole_file(logs + "/f" + std::to_string(i), std::string(100, 'x'));
  std::atomic<bool> removing{true};
  std::thread remover([&] {
    for (int i = 0; i < FILES; ++i) unlink((logs + "/f" + std::to_string(i)).c_str());
    removing = false;
  });
  // Whatever the interleaving, only files still present when sized count.
  do {
    const std::uint64_t total = directory_size(logs);
    EXPECT_EQ(total % 100, 0u);
    EXPECT_LE(total, 100u * FILES);
  } while (removing);
  remover.join();
  EXPECT_EQ(directory_size(logs), 0u);
}

TEST_F(LogDirQueryTest, EntryOfUnreportedTypeIsClassifiedByLstat) {
  const std::string d = dir("d");
  write_whole_file(d + "/file", "x");
  mkdir((d + "/sub").c_str(), 0755);
  ASSERT_EQ(symlink("file", (d + "/link").c_str()), 0);
  ASSERT_EQ(mkfifo((d + "/fifo").c_str(), 0644), 0);
  struct Case {
    const char* name;
    unsigned char type;
    bool regular;
  };
  const std::vector<Case> cases = {
      {"file", DT_UNKNOWN, true},  {"sub", DT_UNKNOWN, false},     {"link", DT_UNKNOWN, false},
      {"fifo", DT_UNKNOWN, false}, {"missing", DT_UNKNOWN, false}, {"missing", DT_REG, true},
      {"file", DT_LNK, false},
  };
  int dir_fd = open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir_fd, 0);
  for (const Case& c : cases)
    EXPECT_EQ(entry_is_regular(dir_fd, c.type, c.name), c.regular) << c.name << " type " << int(c.type);
  close(dir_fd);
}

// A directory of the test bound at a second place while it lives.
class BindMount {
 public:
  BindMount(const std::string& from, const std::string& at) : at_(at) {
    ::mkdir(at.c_str(), 0755);
    mounted_ = ::mount(from.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) == 0;
  }
  ~BindMount() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  BindMount(const BindMount&) = delete;
  BindMount& operator=(const BindMount&) = delete;
  bool mounted() const { return mounted_; }

 private:
  std::string at_;
  bool mounted_ = false;
};

// The card's part of the log directory, opened by the kernel's resolution
// and by the walk that older kernels get: both open a real directory on
// the card, enter what root mounted below it, and refuse the same shapes,
// naming why.
TEST_F(LogDirQueryTest, ADirectoryBelowTheCardIsOpenedOnlyWithoutLinksOrClimbingAboveIt) {
  const std::string card = dir("card");
  const std::string elsewhere = dir("elsewhere");
  ::mkdir((card + "/logs").c_str(), 0755);
  ::mkdir((card + "/a").c_str(), 0755);
  ::mkdir((card + "/a/logs").c_str(), 0755);
  write_whole_file(card + "/file", "x");
  ASSERT_EQ(symlink(elsewhere.c_str(), (card + "/link").c_str()), 0);
  ASSERT_EQ(symlink((card + "/a").c_str(), (card + "/via").c_str()), 0);
  ::mkdir((card + "/other").c_str(), 0755);
  TmpfsMount other(card + "/other", 64);
  ::mkdir((card + "/other/logs").c_str(), 0755);
  BindMount bound(elsewhere, card + "/bound");
  struct Case {
    const char* relative;
    DirRefusal refusal;
  };
  std::vector<Case> cases = {
      {"logs", DirRefusal::none},
      {"/a//logs/", DirRefusal::none},
      {"", DirRefusal::none},
      {"a/../logs", DirRefusal::none},
      {"a/logs/../../a/./logs", DirRefusal::none},
      {"missing", DirRefusal::missing},
      {"missing/../logs", DirRefusal::missing},
      {"link", DirRefusal::symbolic_link},
      {"via/logs", DirRefusal::symbolic_link},
      {"link/../logs", DirRefusal::symbolic_link},
      {"file", DirRefusal::not_directory},
      {"file/../logs", DirRefusal::not_directory},
      {"..", DirRefusal::above_base},
      {"a/../../elsewhere", DirRefusal::above_base},
      {"a/logs/../../../card/logs", DirRefusal::above_base},
  };
  if (other.mounted()) {
    cases.push_back({"other/logs", DirRefusal::none});
    cases.push_back({"other/../logs", DirRefusal::none});
    cases.push_back({"other/../../card", DirRefusal::above_base});
  }
  if (bound.mounted()) {
    cases.push_back({"bound", DirRefusal::none});
    cases.push_back({"bound/../a/logs", DirRefusal::none});
    cases.push_back({"bound/../..", DirRefusal::above_base});
  }
  int base = open(card.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(base, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.relative);
    LogDir log_dir;
    EXPECT_EQ(log_dir_open_below(log_dir, card.c_str(), c.relative, "shown"), c.refusal);
    EXPECT_STREQ(log_dir.path.data(), "shown");
    EXPECT_EQ(log_dir.fd.valid(), c.refusal == DirRefusal::none);
    errno = 0;
    int walked = walk_beneath(base, c.relative);
    EXPECT_EQ(walked >= 0 ? DirRefusal::none : refusal_for(errno), c.refusal) << std::strerror(errno);
    // Both reach the same directory.
    struct stat by_kernel {};
    struct stat by_walk {};
    if (walked >= 0 && log_dir.fd.valid() && fstat(walked, &by_walk) == 0 && fstat(log_dir.fd.get(), &by_kernel) == 0) {
      EXPECT_TRUE(by_walk.st_dev == by_kernel.st_dev && by_walk.st_ino == by_kernel.st_ino);
    }
    if (walked >= 0) close(walked);
  }
  close(base);
}

// A hold on the directory follows its path: a file system mounted over it
// and taken away again, the directory gone and made anew, a link put in
// its place (never followed below a base).
TEST_F(LogDirQueryTest, AHoldIsOpenedAgainWhenItsPathNamesAnotherDirectory) {
  const std::string card = dir("card");
  const std::string logs = card + "/logs";
  ::mkdir(logs.c_str(), 0755);
  LogDir log_dir;
  ASSERT_EQ(log_dir_open_below(log_dir, card.c_str(), "logs", logs.c_str()), DirRefusal::none);
  LogDir copy;
  log_dir_copy(copy, log_dir);
  DirRefusal refusal = DirRefusal::none;
  EXPECT_EQ(log_dir_recheck(log_dir, &refusal), DirCheck::same);
  {
    TmpfsMount over(logs, 64);
    if (!over.mounted()) GTEST_SKIP() << over.why_not();
    write_whole_file(logs + "/on-tmpfs", "x");
    EXPECT_EQ(log_dir_recheck(log_dir, &refusal), DirCheck::reopened);
    FileList listed = log_dir_list(log_dir, EVERY_NAME);
    ASSERT_NE(listed, nullptr);
    EXPECT_STREQ(listed.get()[0], "on-tmpfs");
    EXPECT_EQ(log_dir_recheck(log_dir, &refusal), DirCheck::same);
    EXPECT_EQ(log_dir_recheck(copy, &refusal), DirCheck::reopened);
  }
  EXPECT_EQ(log_dir_recheck(log_dir, &refusal), DirCheck::reopened);
  ASSERT_EQ(rmdir(logs.c_str()), 0);
  EXPECT_EQ(log_dir_recheck(log_dir, &refusal), DirCheck::lost);
  EXPECT_EQ(refusal, DirRefusal::missing);
  EXPECT_FALSE(log_dir.fd.valid());
  EXPECT_EQ(log_dir_recheck(log_dir, &refusal), DirCheck::same);  // lost once, not again
  ASSERT_EQ(symlink(dir("elsewhere").c_str(), logs.c_str()), 0);
  EXPECT_EQ(log_dir_recheck(log_dir, &refusal), DirCheck::same);
  EXPECT_EQ(refusal, DirRefusal::symbolic_link);
  EXPECT_FALSE(log_dir.fd.valid());
  ASSERT_EQ(unlink(logs.c_str()), 0);
  ::mkdir(logs.c_str(), 0755);
  EXPECT_EQ(log_dir_recheck(log_dir, &refusal), DirCheck::reopened);
  EXPECT_TRUE(log_dir.fd.valid());
}

}  // namespace
