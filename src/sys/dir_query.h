// Small file-system queries: directory existence, listing regular files,
// and sizes. They keep no state and log nothing.
#pragma once

#include <cstdint>

struct dirent;

constexpr unsigned LIST_SLOTS = 1000;  // 999 names and the terminating null

// 1 when the directory can be opened for listing, else 0.
int directory_exists(const char* path);

// The bare names of the regular files in the directory, in directory order,
// at most 999, in a null-ended array of LIST_SLOTS separately allocated
// names. Entries whose type the file system does not report are checked
// with lstat; symbolic links are never listed. A directory that cannot be
// opened gives an empty list; null only when the array cannot be allocated.
// The caller releases the list with free_file_list. When a name cannot be
// copied for want of memory, the list ends with the names copied so far.
char** list_regular_files(const char* path);

// Releases every name of a list and then the array; null is allowed.
void free_file_list(char** list);

// Total size in bytes of the regular files that list_regular_files gives
// for the directory; 0 when it cannot be computed. 64 bits: no wrap.
std::uint64_t directory_size(const char* path);

// Whether one entry of the open directory dir_fd is a regular file: the
// reported type, or lstat's answer when the file system reports none.
// Symbolic links count as not regular. Used by list_regular_files.
bool entry_is_regular(int dir_fd, const dirent* entry);

// Size in bytes of the file (symbolic links followed); 0 for an empty file
// and for one that cannot be examined.
std::int64_t file_size(const char* path);
