// What the log directory tests reach beyond the API.
#pragma once

#include "store/log_dir.h"

struct dirent;

// Whether one entry of the open directory dir_fd is a regular file: the
// reported type, or lstat's answer when the file system reports none.
// Symbolic links count as not regular.
bool entry_is_regular(int dir_fd, const dirent* entry);
