#include "store/log_dir.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "store/log_dir_internal.h"
#include "sys/unique_dir.h"

// Log files may pass 2 GiB, also on 32-bit ARM: the build asks for 64-bit
// file offsets, and this module counts on them.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace {

constexpr unsigned MAX_NAMES = LIST_SLOTS - 1;
// An entry name, or an entry name with the temporary suffix.
using NameBuffer = std::array<char, NAME_MAX + 8>;

// A fresh stream over the held descriptor: every listing starts at the
// first entry, and the held descriptor keeps its own offset untouched.
unique_dir open_listing(const LogDir& dir) {
  int fd = openat(dir.fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  unique_dir listing(fdopendir(fd));
  if (!listing) close(fd);
  return listing;
}

bool compose_name(NameBuffer& out, const char* name, const char* suffix) {
  int length = std::snprintf(out.data(), out.size(), "%s%s", name, suffix);
  return length >= 0 && static_cast<std::size_t>(length) < out.size();
}

bool fits_script_path(const LogDir& dir, const char* name) {
  PathBuffer unused;
  return log_dir_script_path(dir, name, unused);
}

// A stream over a descriptor opened relative to the directory.
unique_file stream_at(const LogDir& dir, const char* name, int flags, const char* mode) {
  int fd = openat(dir.fd.get(), name, flags | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  unique_file stream(fdopen(fd, mode));
  if (!stream) close(fd);
  return stream;
}

}  // namespace

bool entry_is_regular(int dir_fd, const dirent* entry) {
  if (entry->d_type == DT_REG) return true;
  if (entry->d_type != DT_UNKNOWN) return false;
  // Some file systems report no types; ask the entry itself, never its
  // target, so a symbolic link to a file stays out of the list.
  struct stat info {};
  return fstatat(dir_fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

bool log_dir_open(LogDir& dir, const char* path) {
  std::snprintf(dir.path.data(), dir.path.size(), "%s", path);
  dir.fd.reset(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir.fd.valid();
}

bool is_log_name(const char* name) {
  static constexpr char pattern[] = "log-dddd-dd-dd-dd-dd-dd";
  for (std::size_t i = 0; i < LOG_NAME_LEN; ++i) {
    bool digit = name[i] >= '0' && name[i] <= '9';
    if (pattern[i] == 'd' ? !digit : name[i] != pattern[i]) return false;
  }
  return name[LOG_NAME_LEN] == '\0';
}

void FileListDeleter::operator()(char** list) const {
  for (char** name = list; *name != nullptr; ++name) std::free(*name);
  std::free(list);
}

FileList log_dir_list(const LogDir& dir) {
  FileList list(static_cast<char**>(std::calloc(LIST_SLOTS, sizeof(char*))));
  if (!list) return list;
  unique_dir listing = open_listing(dir);
  if (!listing) return list;  // nothing to list is an empty list, not a failure
  unsigned count = 0;
  while (count < MAX_NAMES) {
    const dirent* entry = readdir(listing.get());
    if (entry == nullptr) break;
    if (!entry_is_regular(dirfd(listing.get()), entry)) continue;
    char* name = strdup(entry->d_name);
    if (name == nullptr) break;  // out of memory: the names so far stay valid
    list.get()[count++] = name;
  }
  return list;
}

void log_dir_newest_log_name(const LogDir& dir, LogName& newest) {
  newest[0] = '\0';
  unique_dir listing = open_listing(dir);
  if (!listing) return;
  while (const dirent* entry = readdir(listing.get())) {
    // A name at or below the newest so far is dropped by one comparison;
    // only a greater one is checked for the log-file form.
    if (std::strcmp(entry->d_name, newest) <= 0 || !is_log_name(entry->d_name)) continue;
    if (entry_is_regular(dirfd(listing.get()), entry)) std::memcpy(newest, entry->d_name, LOG_NAME_SIZE);
  }
}

std::uint64_t log_dir_total_size(const LogDir& dir) {
  FileList names = log_dir_list(dir);
  if (!names) return 0;
  std::uint64_t total = 0;
  for (char** name = names.get(); *name != nullptr; ++name) {
    struct stat info {};
    // A file removed or replaced since the listing counts 0.
    if (fstatat(dir.fd.get(), *name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode))
      total += static_cast<std::uint64_t>(info.st_size);
  }
  return total;
}

std::int64_t log_dir_file_size(const LogDir& dir, const char* name) {
  struct stat info {};
  if (fstatat(dir.fd.get(), name, &info, 0) != 0) return 0;
  return static_cast<std::int64_t>(info.st_size);
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
  // O_NOFOLLOW: a link on the card under a log name, even a dangling one,
  // must not carry lines out of the log directory.
  return unique_fd(openat(dir.fd.get(), name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
}

bool log_dir_truncate(const LogDir& dir, const char* name, off_t length) {
  unique_fd file(openat(dir.fd.get(), name, O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
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
