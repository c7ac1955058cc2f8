#include "modbus/device_lock.h"

#include <algorithm>
#include <array>
#include <cctype>
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
// this young is taken for one being written, not for a stale one. Shorter
// than the 1 s a starter waits, so an empty lock whose writer died is taken
// over within one start.
constexpr std::int64_t EMPTY_LOCK_GRACE_NS = 500'000'000;
constexpr std::int64_t NS_PER_S = 1'000'000'000;
// A starter's draft is "LTMP.<pid>.XXXXXX": its writer's id, then the
// letters and digits mkstemp picks.
constexpr const char* DRAFT_PREFIX = "LTMP.";
constexpr std::size_t DRAFT_UNIQUE_LENGTH = 6;
// A directory found at the lock path is moved into a fresh directory of this
// name in the lock directory.
constexpr const char* ASIDE_TEMPLATE = "not-a-lock.XXXXXX";

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

// Whether the file changed less than the grace ago by the real-time clock,
// to the nanosecond. A clock set back by more than the grace since makes
// the file look old rather than young for as long as it takes to catch up.
bool changed_moments_ago(const struct stat& info) {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  // Far apart in whole seconds: no nanosecond sum that could overflow.
  if (info.st_mtim.tv_sec > now.tv_sec + 1 || info.st_mtim.tv_sec < now.tv_sec - 1) return false;
  std::int64_t age_ns = (static_cast<std::int64_t>(now.tv_sec) - info.st_mtim.tv_sec) * NS_PER_S +
                        (static_cast<std::int64_t>(now.tv_nsec) - info.st_mtim.tv_nsec);
  return age_ns > -EMPTY_LOCK_GRACE_NS && age_ns < EMPTY_LOCK_GRACE_NS;
}

// The user ids of a live process (real, effective, saved, file system):
// the "Uid:" line of /proc/<pid>/status. False when it cannot be read.
using ProcessUsers = std::array<uid_t, 4>;
bool process_users(pid_t pid, ProcessUsers& users) {
  std::array<char, 64> path;
  snprintf(path.data(), path.size(), "/proc/%d/status", static_cast<int>(pid));
  unique_fd file(open(path.data(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return false;
  // The line comes after the name (at most 64 escaped characters) and a few
  // short lines.
  std::array<char, 1024> text{};
  ssize_t length = read(file.get(), text.data(), text.size() - 1);
  if (length <= 0) return false;
  text[static_cast<std::size_t>(length)] = '\0';
  const char* at = std::strstr(text.data(), "\nUid:");
  if (at == nullptr) return false;
  at += std::strlen("\nUid:");
  for (uid_t& user : users) {
    char* end = nullptr;
    errno = 0;
    unsigned long id = std::strtoul(at, &end, 10);
    if (end == at || errno == ERANGE) return false;
    user = static_cast<uid_t>(id);
    at = end;
  }
  return true;
}

// The lock directory is open to every user, so anyone can write the id of
// a process that never asked for the line (init's, which never ends). A
// lock vouches for its process only when the file is root's or belongs to
// one of that process's users: a tool that drops to another user, or runs
// set-user-id, still has the file's owner among them. When the users
// cannot be read (no /proc), the lock is taken at its word.
bool lock_is_forged(const struct stat& info, pid_t owner) {
  if (info.st_uid == 0) return false;
  ProcessUsers users{};
  if (!process_users(owner, users)) return false;
  return std::find(users.begin(), users.end(), info.st_uid) == users.end();
}

LockJudgement unreadable_lock(mode_t kind) { return {LockState::unreadable, 0, kind, errno}; }

// The opened lock. Every tool of the convention writes its lock as a
// regular file, so anything else (a FIFO swapped in since it was looked
// at) is no lock and is never read. An empty file only moments old is a
// lock still being written (see EMPTY_LOCK_GRACE_NS); older, it is one whose
// writer died.
LockJudgement judge_open_lock(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return unreadable_lock(S_IFREG);
  mode_t kind = info.st_mode & S_IFMT;
  if (!S_ISREG(info.st_mode)) return {LockState::not_regular_file, 0, kind, 0};
  if (info.st_size == 0 && changed_moments_ago(info)) return {LockState::being_written, 0, kind, 0};
  pid_t owner = read_lock_owner(fd);
  if (process_alive(owner) == 0) return {LockState::stale, owner, kind, 0};
  if (lock_is_forged(info, owner)) return {LockState::stale, owner, kind, 0, true};
  return {LockState::held, owner, kind, 0};
}

// A directory at the lock path cannot be removed without going through
// what is in it, which belongs to whoever made it. It is moved whole, never
// entered, into a fresh directory of our own beside it, where it blocks no
// starter and stays for whoever looks into it.
void move_aside(const char* lock_path) {
  LockPath aside;
  snprintf(aside.data(), aside.size(), "%s%s/%s", path_root(), LOCK_DIR, ASIDE_TEMPLATE);
  if (mkdtemp(aside.data()) == nullptr) return;
  unique_fd into(open(aside.data(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  const char* name = last_component(lock_path);
  if (into.valid() && renameat(AT_FDCWD, lock_path, into.get(), name) == 0) {
    log_msg(LOG_NOTICE, "lock %s was a directory: moved to %s/%s", lock_path, aside.data(), name);
    return;
  }
  rmdir(aside.data());
}

// Removes a lock whose owner is gone or which is forged, or an entry that
// is no lock. A lock we cannot open for reading is left alone: we cannot
// tell whose it is.
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
  if (lock.kind == S_IFDIR) return move_aside(lock_path);
  // unlink removes the entry itself, never a link's target.
  if (unlink(lock_path) != 0) return;
  if (lock.kind == S_IFLNK) log_msg(LOG_WARNING, "lock %s was a symbolic link: removed", lock_path);
  if (lock.forged)
    log_msg(LOG_NOTICE, "lock %s was forged: pid %d is another user's process; removed", lock_path,
            static_cast<int>(lock.owner));
}

bool write_owner(int fd) {
  std::array<char, 16> text;
  int length = snprintf(text.data(), text.size(), OWNER_FORMAT, static_cast<int>(getpid()));
  if (fchmod(fd, LOCK_MODE) != 0) return false;
  return write(fd, text.data(), static_cast<std::size_t>(length)) == length;
}

// The ways a file system says it keeps no second name for a file: EPERM
// (FAT and some flash file systems), EOPNOTSUPP and ENOSYS (network and
// user-space file systems), EXDEV (some overlay and union file systems),
// EMLINK (a limit of one name per file). Nothing else means that
// linking cannot work there: EEXIST is a lock held, the rest are failures
// that creating in place would meet as well.
bool file_system_refuses_links(int error) {
  return error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EXDEV || error == EMLINK;
}

// For lock directories that refuse hard links: the lock is created under
// its own name, only if there is none, and the owner goes in with one
// write. Readers may see it empty for that instant, which
// EMPTY_LOCK_GRACE_NS covers. When the owner cannot be written the empty
// lock is removed at once; nobody else removes an empty lock that young,
// so the name is still ours.
bool create_lock_in_place(const char* lock_path) {
  unique_fd fd(open(lock_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, LOCK_MODE));
  if (!fd.valid()) return false;
  if (write_owner(fd.get())) return true;
  fd.reset();
  unlink(lock_path);
  return false;
}

// The lock appears complete or not at all: the id goes into a draft of our
// own, which is then linked to the lock name. link fails with EEXIST while
// someone holds the lock, so where hard links work no reader ever sees an
// empty lock. The draft's name carries our id, so a draft left by a starter
// killed before it linked can be told from a live starter's.
bool publish_lock(const char* lock_path) {
  LockPath draft;
  snprintf(draft.data(), draft.size(), "%s%s/%s%d.XXXXXX", path_root(), LOCK_DIR, DRAFT_PREFIX,
           static_cast<int>(getpid()));
  unique_fd fd(mkstemp(draft.data()));
  if (!fd.valid()) return false;
  bool written = write_owner(fd.get());
  fd.reset();
  bool linked = written && link(draft.data(), lock_path) == 0;
  bool links_refused = written && !linked && file_system_refuses_links(errno);
  unlink(draft.data());
  if (linked) return true;
  return links_refused && create_lock_in_place(lock_path);
}

// The writer named by a draft of ours ("LTMP.<pid>.XXXXXX"), or 0 when the
// name is of no draft we make: another tool's temporary file is its own.
pid_t draft_writer(const char* name) {
  std::size_t prefix_length = std::strlen(DRAFT_PREFIX);
  if (std::strncmp(name, DRAFT_PREFIX, prefix_length) != 0) return 0;
  const char* digits = name + prefix_length;
  if (*digits < '1' || *digits > '9') return 0;
  char* end = nullptr;
  errno = 0;
  long long writer = std::strtoll(digits, &end, 10);
  if (errno == ERANGE || writer > std::numeric_limits<pid_t>::max() || *end != '.') return 0;
  const char* unique = end + 1;
  if (std::strlen(unique) != DRAFT_UNIQUE_LENGTH) return 0;
  for (const char* c = unique; *c != '\0'; ++c)
    if (std::isalnum(static_cast<unsigned char>(*c)) == 0) return 0;
  return static_cast<pid_t>(writer);
}

// Removes the drafts of starters killed between writing and linking them,
// which would otherwise pile up in the lock directory: regular files of our
// own naming whose writer no longer exists, by name within the opened
// directory and never through a link. A live starter's draft is left
// alone, however old the clock says it is.
void remove_left_drafts() {
  LockPath dir_path;
  rooted_path(dir_path.data(), dir_path.size(), LOCK_DIR);
  unique_dir dir(opendir(dir_path.data()));
  if (!dir) return;
  while (dirent* entry = readdir(dir.get())) {
    pid_t writer = draft_writer(entry->d_name);
    if (writer == 0) continue;
    struct stat info {};
    if (fstatat(dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(info.st_mode) && process_alive(writer) == 0) unlinkat(dirfd(dir.get()), entry->d_name, 0);
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

bool process_root_path(pid_t pid, const char* path, char* out, std::size_t out_size) {
  if (pid <= 0) return false;
  int length = snprintf(out, out_size, "/proc/%d/root", static_cast<int>(pid));
  if (length < 0 || static_cast<std::size_t>(length) >= out_size || access(out, X_OK) != 0) return false;
  length = snprintf(out, out_size, "/proc/%d/root%s", static_cast<int>(pid), path);
  return length >= 0 && static_cast<std::size_t>(length) < out_size;
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
