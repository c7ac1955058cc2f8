#include "modbus/device_lock.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include "sys/clock.h"
#include "sys/log.h"
#include "sys/paths.h"
#include "sys/unique_dir.h"
#include "sys/unique_fd.h"

namespace {

// Lock paths get the path buffer size after the root, enough for the long
// names of serial/by-id links. A name that does not fit is refused, never
// cut: a cut name could be the lock of another device.
using LockPath = PathBuffer;

constexpr long RETRY_PAUSE_NS = 100'000'000;
// Every serial tool on the gateway reads the owner with "%d"; the text is
// right-aligned in ten columns and ends with a newline.
constexpr const char* OWNER_FORMAT = "%10d\n";
// World-readable, so any tool can see who holds the line.
constexpr mode_t LOCK_MODE = 0644;
// Where the lock directory refuses hard links, a lock is empty from its
// creation until its owner is written, in the same instant. An empty lock
// this young is taken for one being written, not for a stale one.
constexpr std::int64_t EMPTY_LOCK_GRACE_S = 2;
// A starter links its draft within the instant it wrote it; a draft this
// old was left by a starter killed in between.
constexpr std::int64_t DRAFT_LEFT_BEHIND_S = 10;
constexpr const char* DRAFT_PREFIX = "LTMP.";

const char* last_component(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// The owner recorded in a lock, or 0 when there is none to trust: no
// number, or one outside the range of process ids (kill would otherwise see
// 4294967297 as 1, a process that never dies).
pid_t read_lock_owner(int fd) {
  std::array<char, 64> text{};
  ssize_t length = read(fd, text.data(), text.size() - 1);
  if (length <= 0) return 0;
  text[static_cast<std::size_t>(length)] = '\0';
  char* end = nullptr;
  errno = 0;
  long long owner = std::strtoll(text.data(), &end, 10);
  if (end == text.data() || errno == ERANGE) return 0;
  if (owner < 1 || owner > std::numeric_limits<pid_t>::max()) return 0;
  return static_cast<pid_t>(owner);
}

// Seconds since the file's last change by the real-time clock; negative
// when the clock has been set back since.
std::int64_t seconds_since_change(const struct stat& info) {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) - static_cast<std::int64_t>(info.st_mtim.tv_sec);
}

LockJudgement unreadable_lock(mode_t kind) { return {LockState::unreadable, 0, kind, errno}; }

// The opened lock. Every tool of the convention writes its lock as a
// regular file, so anything else (a FIFO swapped in since it was looked
// at) is no lock and is never read. An empty file only a moment old is a
// lock still being written (see EMPTY_LOCK_GRACE_S); older, it is one whose
// writer died. A clock set back by more than the grace makes an empty lock
// look old rather than block every start until the clock catches up.
LockJudgement judge_open_lock(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return unreadable_lock(S_IFREG);
  mode_t kind = info.st_mode & S_IFMT;
  if (!S_ISREG(info.st_mode)) return {LockState::not_regular_file, 0, kind, 0};
  if (info.st_size == 0) {
    std::int64_t age = seconds_since_change(info);
    if (age > -EMPTY_LOCK_GRACE_S && age < EMPTY_LOCK_GRACE_S) return {LockState::being_written, 0, kind, 0};
  }
  pid_t owner = read_lock_owner(fd);
  return {process_alive(owner) != 0 ? LockState::held : LockState::stale, owner, kind, 0};
}

// Removes a lock whose owner is gone, or an entry that is no lock. A lock
// we cannot open for reading is left alone: we cannot tell whose it is.
//
// Checking and removing is not atomic: two starters that both find the same
// dead owner may both remove the file, and the later removal can hit the
// lock the other has just published; both then believe they hold the line.
// It takes two daemons started in the same instant over a stale lock, and
// closing it would need a lock around the lock, which other tools that
// share the convention would not take.
void remove_stale_lock(const char* lock_path) {
  LockJudgement lock = judge_lock(lock_path);
  if (!lock_is_taken_over(lock.state)) return;
  // unlink removes the entry itself, never a link's target.
  if (unlink(lock_path) == 0 && lock.kind == S_IFLNK)
    log_msg(LOG_WARNING, "lock %s was a symbolic link: removed", lock_path);
}

bool write_owner(int fd) {
  std::array<char, 16> text;
  int length = snprintf(text.data(), text.size(), OWNER_FORMAT, static_cast<int>(getpid()));
  if (fchmod(fd, LOCK_MODE) != 0) return false;
  return write(fd, text.data(), static_cast<std::size_t>(length)) == length;
}

// For lock directories that refuse hard links (some flash file systems
// answer link with EPERM): the lock is created under its own name, only if
// there is none, and the owner goes in with one write. Readers may see it
// empty for that instant, which EMPTY_LOCK_GRACE_S covers. When the owner
// cannot be written the empty lock is removed at once; nobody else removes
// an empty lock that young, so the name is still ours.
bool create_lock_in_place(const char* lock_path) {
  unique_fd fd(open(lock_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, LOCK_MODE));
  if (!fd.valid()) return false;
  if (write_owner(fd.get())) return true;
  fd.reset();
  unlink(lock_path);
  return false;
}

// The lock appears complete or not at all: the id goes into a temporary
// file of our own, which is then linked to the lock name. link fails with
// EEXIST while someone holds the lock, so where hard links work no reader
// ever sees an empty lock.
bool publish_lock(const char* lock_path) {
  LockPath draft;
  snprintf(draft.data(), draft.size(), "%s%s/%sXXXXXX", path_root(), LOCK_DIR, DRAFT_PREFIX);
  unique_fd fd(mkstemp(draft.data()));
  if (!fd.valid()) return false;
  bool written = write_owner(fd.get());
  fd.reset();
  bool linked = written && link(draft.data(), lock_path) == 0;
  bool links_refused = written && !linked && errno == EPERM;
  unlink(draft.data());
  if (linked) return true;
  return links_refused && create_lock_in_place(lock_path);
}

// Removes the drafts of starters killed between writing and linking them,
// which would otherwise pile up in the lock directory. Only regular files
// old enough are removed, by name within the opened directory, and never
// through a link. Removing a live starter's draft would do no harm either:
// its link fails and it tries again, or it has linked already and only the
// draft's name goes.
void remove_left_drafts() {
  LockPath dir_path;
  rooted_path(dir_path.data(), dir_path.size(), LOCK_DIR);
  unique_dir dir(opendir(dir_path.data()));
  if (!dir) return;
  while (dirent* entry = readdir(dir.get())) {
    if (std::strncmp(entry->d_name, DRAFT_PREFIX, std::strlen(DRAFT_PREFIX)) != 0) continue;
    struct stat info {};
    if (fstatat(dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(info.st_mode) && seconds_since_change(info) >= DRAFT_LEFT_BEHIND_S)
      unlinkat(dirfd(dir.get()), entry->d_name, 0);
  }
}

void pause_between_attempts() {
  struct timespec pause {0, RETRY_PAUSE_NS};
  nanosleep(&pause, nullptr);
}

}  // namespace

// The lock directory is writable by others, and the daemon runs as root in
// a session without a terminal. The entry is looked at before it is opened:
// opening a device node can act on the device, and opening a terminal would
// make it our controlling terminal, whose hangup would end us with SIGHUP.
// Only a regular file is opened, with O_NOCTTY, O_NONBLOCK (a FIFO swapped
// in meanwhile cannot hang start-up) and never through a symbolic link. A
// link at the lock path names no owner we could read without following it
// and is no tool's lock; nor is a FIFO or a device node.
LockJudgement judge_lock(const char* lock_path) {
  struct stat entry {};
  if (lstat(lock_path, &entry) != 0) return errno == ENOENT ? LockJudgement{} : unreadable_lock(0);
  if (!S_ISREG(entry.st_mode)) return {LockState::not_regular_file, 0, static_cast<mode_t>(entry.st_mode & S_IFMT), 0};
  unique_fd lock(open(lock_path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  if (!lock.valid()) return errno == ENOENT ? LockJudgement{} : unreadable_lock(S_IFREG);
  return judge_open_lock(lock.get());
}

bool lock_is_taken_over(LockState state) {
  return state == LockState::stale || state == LockState::not_regular_file;
}

bool lock_path_of(const char* device_path, PathBuffer& lock_path) {
  std::size_t size = rooted_size(PATH_SIZE);
  int length = snprintf(lock_path.data(), size, "%s%s/LCK..%s", path_root(), LOCK_DIR, last_component(device_path));
  return length >= 0 && static_cast<std::size_t>(length) < size;
}

int lock_device(const char* device_path, int timeout_s) {
  LockPath lock_path;
  if (!lock_path_of(device_path, lock_path)) {
    log_msg(LOG_ERR, "lock name too long: %s", device_path);
    return 0;
  }
  // Whole seconds: with a timeout of 1 the attempts go on for between one
  // and two seconds, 10 to 20 of them.
  std::int64_t deadline = monotonic_seconds() + timeout_s;
  remove_left_drafts();
  for (;;) {
    remove_stale_lock(lock_path.data());
    if (publish_lock(lock_path.data())) return 1;
    pause_between_attempts();
    if (monotonic_seconds() > deadline) return 0;
  }
}

void unlock_device(const char* device_path) {
  LockPath lock_path;
  if (lock_path_of(device_path, lock_path)) unlink(lock_path.data());
}

int process_alive(pid_t pid) {
  if (signal_process(pid, 0) == 0) return 1;
  // EPERM: it exists but belongs to another user, and still holds the line.
  return errno == ESRCH ? 0 : 1;
}

int signal_process(pid_t pid, int sig) {
  // kill with 0 or a negative id reaches whole process groups, or everyone.
  if (pid <= 0) {
    errno = ESRCH;
    return -1;
  }
  return kill(pid, sig);
}

bool process_name(pid_t pid, ProcessName& name) {
  name[0] = '\0';
  if (pid <= 0) return false;
  std::array<char, 64> path;
  snprintf(path.data(), path.size(), "/proc/%d/comm", static_cast<int>(pid));
  unique_fd file(open(path.data(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return false;
  ssize_t length = read(file.get(), name.data(), name.size() - 1);
  if (length <= 0) {
    name[0] = '\0';
    return false;
  }
  name[static_cast<std::size_t>(length)] = '\0';
  name[std::strcspn(name.data(), "\n")] = '\0';
  return true;
}
