#include "sys/dir_query.h"

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/types.h>

#include "sys/unique_fd.h"

// Log files may pass 2 GiB, also on 32-bit ARM: the build asks for 64-bit
// file offsets, and this module counts on them.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using unique_dir = std::unique_ptr<DIR, DirCloser>;

constexpr unsigned MAX_NAMES = LIST_SLOTS - 1;

}  // namespace

bool entry_is_regular(int dir_fd, const dirent* entry) {
  if (entry->d_type == DT_REG) return true;
  if (entry->d_type != DT_UNKNOWN) return false;
  // Some file systems report no types; ask the entry itself, never its
  // target, so a symbolic link to a file stays out of the list.
  struct stat info {};
  return fstatat(dir_fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

int directory_exists(const char* path) {
  unique_dir dir(opendir(path));
  return dir ? 1 : 0;
}

char** list_regular_files(const char* path) {
  auto** list = static_cast<char**>(std::calloc(LIST_SLOTS, sizeof(char*)));
  if (list == nullptr) return nullptr;
  unique_dir dir(opendir(path));
  if (!dir) return list;  // nothing to list is an empty list, not a failure
  unsigned count = 0;
  while (count < MAX_NAMES) {
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    if (!entry_is_regular(dirfd(dir.get()), entry)) continue;
    char* name = strdup(entry->d_name);
    if (name == nullptr) break;  // out of memory: the names so far stay valid
    list[count++] = name;
  }
  return list;
}

void free_file_list(char** list) {
  if (list == nullptr) return;
  for (char** name = list; *name != nullptr; ++name) std::free(*name);
  std::free(list);
}

std::uint64_t directory_size(const char* path) {
  char** list = list_regular_files(path);
  if (list == nullptr) return 0;
  // Names are looked up relative to the directory itself: no path to
  // compose, so none can be cut into the name of another file.
  unique_fd dir(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::uint64_t total = 0;
  for (char** name = list; dir.valid() && *name != nullptr; ++name) {
    struct stat info {};
    // A file removed or replaced since the listing counts 0.
    if (fstatat(dir.get(), *name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode))
      total += static_cast<std::uint64_t>(info.st_size);
  }
  free_file_list(list);
  return total;
}

std::int64_t file_size(const char* path) {
  struct stat info {};
  if (stat(path, &info) != 0) return 0;
  return static_cast<std::int64_t>(info.st_size);
}
