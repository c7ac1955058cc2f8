#include "store/log_dir.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "store/log_dir_internal.h"

// Log files may pass 2 GiB, also on 32-bit ARM: the build asks for 64-bit
// file offsets, and this module counts on them.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace {

constexpr unsigned MAX_NAMES = LIST_SLOTS - 1;
// An entry name, or an entry name with the temporary suffix.
using NameBuffer = std::array<char, NAME_MAX + 8>;

// The kernel's record of one entry (struct linux_dirent64): inode (8
// bytes), offset (8), record length (2), type (1), then the name with its
// NUL, padded to 8 bytes. Read field by field, so the buffer needs no
// particular layout.
constexpr std::size_t RECORD_LENGTH_AT = 16;
constexpr std::size_t RECORD_TYPE_AT = 18;
constexpr std::size_t RECORD_NAME_AT = 19;

// Room for about 680 log-file entries per call, as much as a C library
// directory stream reads at once: a line's scan of a directory of 999 files
// takes two calls and the one that finds the end.
constexpr std::size_t SCAN_BUFFER_SIZE = std::size_t{32} * 1024;

// A directory we may read but not search (mode r--) refuses the lookup of
// "." within it, while its path still reaches it. The path is taken only
// when it leads to the very directory held: a link swapped in on the way
// would lead elsewhere.
int reopen_by_path(const LogDir& dir) {
  unique_fd fd(open(dir.path.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat held {};
  struct stat reopened {};
  if (!fd.valid() || fstat(dir.fd.get(), &held) != 0 || fstat(fd.get(), &reopened) != 0) return -1;
  if (held.st_dev != reopened.st_dev || held.st_ino != reopened.st_ino) {
    errno = EACCES;
    return -1;
  }
  return fd.release();
}

// Calls visit(type, name) for every entry, in directory order, until it
// returns false. The scan opens a descriptor of its own, so it starts at
// the first entry and shares no read offset with the other thread's scans;
// the records land in a buffer on the stack. So a scan, which runs for
// every logged line, allocates nothing and costs an open, the reads and a
// close. False, with errno set, when the entries could not all be read;
// a directory that was never opened has none and scans as empty.
template <typename Visit>
bool scan_entries(const LogDir& dir, Visit&& visit) {
  if (!dir.fd.valid()) return true;
  unique_fd scan(openat(dir.fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!scan.valid() && errno == EACCES) scan.reset(reopen_by_path(dir));
  if (!scan.valid()) return false;
  alignas(8) std::array<char, SCAN_BUFFER_SIZE> records;
  for (;;) {
    long got = syscall(SYS_getdents64, scan.get(), records.data(), records.size());
    if (got <= 0) return got == 0;
    for (long at = 0; at < got;) {
      const char* record = records.data() + at;
      unsigned short length = 0;
      std::memcpy(&length, record + RECORD_LENGTH_AT, sizeof length);
      auto type = static_cast<unsigned char>(record[RECORD_TYPE_AT]);
      if (!visit(type, record + RECORD_NAME_AT)) return true;
      at += length;
    }
  }
}

bool compose_name(NameBuffer& out, const char* name, const char* suffix) {
  int length = std::snprintf(out.data(), out.size(), "%s%s", name, suffix);
  return length >= 0 && static_cast<std::size_t>(length) < out.size();
}

// The same test as log_dir_script_path without composing the path: it runs
// for every line, and printf costs about a thousand instructions.
bool fits_script_path(const LogDir& dir, const char* name) {
  return strnlen(dir.path.data(), dir.path.size()) + 1 + std::strlen(name) < rooted_size(PATH_SIZE);
}

bool is_regular(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

// Opens an entry only when it is a regular file. The entry is looked at
// before the open, so a device node is never opened at all (opening one
// can act on the device); the open itself follows no link, cannot block on
// a FIFO and cannot make a terminal ours; and the descriptor is looked at
// again, since the entry may have changed in between.
unique_fd open_regular(const LogDir& dir, const char* name, int flags) {
  struct stat entry {};
  if (fstatat(dir.fd.get(), name, &entry, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(entry.st_mode)) {
    errno = EINVAL;
    return unique_fd();
  }
  unique_fd fd(openat(dir.fd.get(), name, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
  if (fd.valid() && !is_regular(fd.get())) {
    fd.reset();
    errno = EINVAL;
  }
  return fd;
}

// A stream over a regular file of the directory.
unique_file stream_at(const LogDir& dir, const char* name, int flags, const char* mode) {
  unique_fd fd = open_regular(dir, name, flags);
  if (!fd.valid()) return nullptr;
  unique_file stream(fdopen(fd.get(), mode));
  if (stream) fd.release();
  return stream;
}

// A link asked to be opened as a directory without being followed says
// ENOTDIR; the caller wants to tell it apart from a plain file.
bool is_link_at(int dir_fd, const char* path) {
  struct stat info {};
  return fstatat(dir_fd, path, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

constexpr int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

// The kernel resolves the whole path at once and refuses links and ".."
// above the base on the way. -1 with errno ENOSYS on kernels before 5.6,
// and EAGAIN when a rename or mount elsewhere raced a ".." step.
int open_beneath(int base, const char* relative) {
  open_how how{};
  how.flags = static_cast<std::uint64_t>(DIR_FLAGS);
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
  return static_cast<int>(syscall(SYS_openat2, base, relative, &how, sizeof how));
}

// The walk keeps every directory it passed through open, to step back
// along them on "..": as deep as a path of single-letter components goes.
constexpr std::size_t WALK_DEPTH_MAX = PATH_SIZE / 2 + 1;

// The stat identity of the directory held; an unopened one has none.
void note_identity(LogDir& dir) {
  struct stat info {};
  if (dir.fd.valid() && fstat(dir.fd.get(), &info) == 0) {
    dir.device = info.st_dev;
    dir.inode = info.st_ino;
    return;
  }
  dir.fd.reset();
  dir.device = 0;
  dir.inode = 0;
}

DirRefusal open_by_rules_below(LogDir& dir) {
  unique_fd base_fd(open(dir.base.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!base_fd.valid()) return refusal_for(errno);
  const char* relative = dir.relative.data();
  int fd = open_beneath(base_fd.get(), relative);
  if (fd < 0 && (errno == ENOSYS || errno == EPERM || errno == EAGAIN)) fd = walk_beneath(base_fd.get(), relative);
  if (fd < 0 && errno == ENOTDIR && is_link_at(base_fd.get(), relative)) errno = ELOOP;
  if (fd < 0) return refusal_for(errno);
  dir.fd.reset(fd);
  return DirRefusal::none;
}

// Opens the directory under the rules kept in `dir`, dropping what it held.
DirRefusal open_by_rules(LogDir& dir) {
  dir.fd.reset();
  DirRefusal refusal = DirRefusal::none;
  if (dir.base[0] == '\0') {
    dir.fd.reset(open(dir.path.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.fd.valid()) refusal = DirRefusal::not_opened;
  } else {
    refusal = open_by_rules_below(dir);
  }
  note_identity(dir);
  return refusal;
}

bool names_held(const LogDir& dir) {
  struct stat named {};
  return dir.fd.valid() && stat(dir.path.data(), &named) == 0 && named.st_dev == dir.device &&
         named.st_ino == dir.inode;
}

}  // namespace

DirRefusal refusal_for(int error) {
  switch (error) {
    case ENOENT: return DirRefusal::missing;
    case ELOOP: return DirRefusal::symbolic_link;
    case ENOTDIR: return DirRefusal::not_directory;
    case EXDEV: return DirRefusal::above_base;
    default: return DirRefusal::unusable;
  }
}

// For kernels without openat2: each component is opened without following
// a link. ".." steps back to the directory the walk came from, which is
// where the kernel's ".." leads on a path without links, and is refused at
// the base.
int walk_beneath(int base, const char* relative) {
  PathBuffer components;
  if (static_cast<std::size_t>(std::snprintf(components.data(), components.size(), "%s", relative)) >=
      components.size()) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::array<unique_fd, WALK_DEPTH_MAX> passed;
  std::size_t depth = 0;
  passed[0].reset(fcntl(base, F_DUPFD_CLOEXEC, 3));
  if (!passed[0].valid()) return -1;
  char* rest = components.data();
  while (rest != nullptr) {
    char* component = strsep(&rest, "/");
    if (component[0] == '\0' || std::strcmp(component, ".") == 0) continue;
    if (std::strcmp(component, "..") == 0) {
      if (depth == 0) {
        errno = EXDEV;  // above the base, as openat2 says it
        return -1;
      }
      passed[depth--].reset();
      continue;
    }
    if (depth + 1 == passed.size()) {
      errno = ENAMETOOLONG;
      return -1;
    }
    int next = openat(passed[depth].get(), component, DIR_FLAGS);
    if (next < 0 && errno == ENOTDIR && is_link_at(passed[depth].get(), component)) errno = ELOOP;
    if (next < 0) return -1;
    passed[++depth].reset(next);
  }
  return passed[depth].release();
}

bool entry_is_regular(int dir_fd, unsigned char type, const char* name) {
  if (type == DT_REG) return true;
  if (type != DT_UNKNOWN) return false;
  // Some file systems report no types; ask the entry itself, never its
  // target, so a symbolic link to a file stays out of the list.
  struct stat info {};
  return fstatat(dir_fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

bool log_dir_open(LogDir& dir, const char* path) {
  std::snprintf(dir.path.data(), dir.path.size(), "%s", path);
  dir.base[0] = '\0';
  dir.relative[0] = '\0';
  return open_by_rules(dir) == DirRefusal::none;
}

DirRefusal log_dir_open_below(LogDir& dir, const char* base, const char* relative, const char* path) {
  std::snprintf(dir.path.data(), dir.path.size(), "%s", path);
  std::snprintf(dir.base.data(), dir.base.size(), "%s", base);
  while (*relative == '/') ++relative;
  std::snprintf(dir.relative.data(), dir.relative.size(), "%s", *relative == '\0' ? "." : relative);
  return open_by_rules(dir);
}

void log_dir_copy(LogDir& copy, const LogDir& from) {
  copy.path = from.path;
  copy.base = from.base;
  copy.relative = from.relative;
  copy.fd.reset(from.fd.valid() ? fcntl(from.fd.get(), F_DUPFD_CLOEXEC, 3) : -1);
  copy.device = from.device;
  copy.inode = from.inode;
}

DirCheck log_dir_recheck(LogDir& dir, DirRefusal* refusal) {
  *refusal = DirRefusal::none;
  if (names_held(dir)) return DirCheck::same;
  bool held = dir.fd.valid();
  dev_t device = dir.device;
  ino_t inode = dir.inode;
  *refusal = open_by_rules(dir);
  if (*refusal != DirRefusal::none) return held ? DirCheck::lost : DirCheck::same;
  // The path may have named the held directory again by the time it was
  // opened: nothing changed then.
  return held && dir.device == device && dir.inode == inode ? DirCheck::same : DirCheck::reopened;
}

bool is_log_name(const char* name) {
  static constexpr char pattern[] = "log-dddd-dd-dd-dd-dd-dd";
  for (std::size_t i = 0; i < LOG_NAME_LEN; ++i) {
    bool digit = name[i] >= '0' && name[i] <= '9';
    if (pattern[i] == 'd' ? !digit : name[i] != pattern[i]) return false;
  }
  return name[LOG_NAME_LEN] == '\0';
}

namespace {

// The decimal value of `digits` characters at `text`, all of them digits.
unsigned field_at(const char* text, unsigned digits) {
  unsigned value = 0;
  for (unsigned i = 0; i < digits; ++i) value = value * 10 + static_cast<unsigned>(text[i] - '0');
  return value;
}

unsigned days_in_month(unsigned year, unsigned month) {
  static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : days[month - 1];
}

}  // namespace

bool is_log_time_name(const char* name) {
  if (!is_log_name(name)) return false;
  // "log-YYYY-MM-DD-hh-mm-ss": the fields stand at fixed places. Local time
  // as the clock breaks it down has no leap second.
  unsigned year = field_at(name + 4, 4);
  unsigned month = field_at(name + 9, 2);
  unsigned day = field_at(name + 12, 2);
  return month >= 1 && month <= 12 && day >= 1 && day <= days_in_month(year, month) && field_at(name + 15, 2) < 24 &&
         field_at(name + 18, 2) < 60 && field_at(name + 21, 2) < 60;
}

void FileListDeleter::operator()(char** list) const {
  for (char** name = list; *name != nullptr; ++name) std::free(*name);
  std::free(list);
}

FileList log_dir_list(const LogDir& dir, const char* upto) {
  FileList list(static_cast<char**>(std::calloc(LIST_SLOTS, sizeof(char*))));
  if (!list) return list;
  unsigned count = 0;
  // A directory that cannot be read lists what was read of it: nothing, when
  // it cannot be opened. That is an empty list, not a failure.
  scan_entries(dir, [&](unsigned char type, const char* entry) {
    // The name first: one comparison, where the type may cost an lstat.
    if (std::strcmp(entry, upto) > 0 || !entry_is_regular(dir.fd.get(), type, entry)) return true;
    char* name = strdup(entry);
    if (name == nullptr) return false;  // out of memory: the names so far stay valid
    list.get()[count++] = name;
    return count < MAX_NAMES;
  });
  return list;
}

bool log_dir_each_file(const LogDir& dir, FileVisitor visit, void* context) {
  return scan_entries(dir, [&](unsigned char type, const char* name) {
    if (entry_is_regular(dir.fd.get(), type, name)) visit(name, context);
    return true;
  });
}

void log_dir_newest_log_name(const LogDir& dir, LogName& newest, const char* latest) {
  newest[0] = '\0';
  // What cannot be read holds no log file for the line: the newest of what
  // was read stands.
  scan_entries(dir, [&](unsigned char type, const char* name) {
    // A name at or below the newest so far, or past the latest, is dropped
    // by a comparison; only one between them is checked for a log time.
    if (std::strcmp(name, newest) > 0 && std::strcmp(name, latest) <= 0 && is_log_time_name(name) &&
        entry_is_regular(dir.fd.get(), type, name))
      std::memcpy(newest, name, LOG_NAME_SIZE);
    return true;
  });
}

std::uint64_t file_length(const struct stat& info) {
  return static_cast<std::uint64_t>(std::max<off_t>(info.st_size, 0));
}

std::uint64_t log_dir_total_size(const LogDir& dir, const char* upto, FileSizeRule size_rule) {
  FileList names = log_dir_list(dir, upto);
  if (!names) return 0;
  std::uint64_t total = 0;
  for (char** name = names.get(); *name != nullptr; ++name) {
    struct stat info {};
    // A file removed or replaced since the listing counts 0.
    if (fstatat(dir.fd.get(), *name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode))
      total += size_rule(info);
  }
  return total;
}

bool log_dir_script_path(const LogDir& dir, const char* name, PathBuffer& out, const char* suffix) {
  std::size_t size = rooted_size(PATH_SIZE);
  int length = std::snprintf(out.data(), size, "%s/%s%s", dir.path.data(), name, suffix);
  if (length >= 0 && static_cast<std::size_t>(length) < size) return true;
  out[0] = '\0';
  return false;
}

unique_fd log_dir_open_append(const LogDir& dir, const char* name) {
  if (!fits_script_path(dir, name)) {
    errno = ENAMETOOLONG;
    return unique_fd();
  }
  // A link on the card under a log name, even a dangling one, must not
  // carry lines out of the log directory.
  return open_regular(dir, name, O_WRONLY | O_APPEND | O_CREAT);
}

bool log_dir_truncate(const LogDir& dir, const char* name, off_t length) {
  unique_fd file = open_regular(dir, name, O_WRONLY);
  return file.valid() && ftruncate(file.get(), length) == 0;
}

unique_file log_dir_open_read(const LogDir& dir, const char* name, const char* suffix) {
  NameBuffer entry;
  if (!compose_name(entry, name, suffix)) return nullptr;
  return stream_at(dir, entry.data(), O_RDONLY, "r");
}

unique_file log_dir_create_new(const LogDir& dir, const char* name) {
  return stream_at(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_TRUNC, "w");
}

bool log_dir_move_to_tmp(const LogDir& dir, const char* name) {
  NameBuffer tmp_name;
  if (!compose_name(tmp_name, name, TMP_SUFFIX)) return false;
  int fd = dir.fd.get();
  if (renameat2(fd, name, fd, tmp_name.data(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag (a FAT card on an old kernel): only the
  // upload thread makes ".tmp" names, under ready_lock, so looking first is
  // enough.
  struct stat existing {};
  if (fstatat(fd, tmp_name.data(), &existing, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) return false;
  return renameat(fd, name, fd, tmp_name.data()) == 0;
}

bool log_dir_restore_from_tmp(const LogDir& dir, const char* name) {
  NameBuffer tmp_name;
  if (!compose_name(tmp_name, name, TMP_SUFFIX)) return false;
  return renameat(dir.fd.get(), tmp_name.data(), dir.fd.get(), name) == 0;
}
