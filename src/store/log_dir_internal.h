// What the log directory tests reach beyond the API.
#pragma once

#include "store/log_dir.h"

// Whether one entry of the open directory dir_fd is a regular file: the
// type the directory reports (a DT_ value), or lstat's answer when the file
// system reports none. Symbolic links count as not regular.
bool entry_is_regular(int dir_fd, unsigned char type, const char* name);

// The component-by-component walk that opens a directory below `base` on
// kernels without openat2, with the kernel's verdict: no link followed,
// ".." taken back along the way walked but never above the base, mounts
// entered. The descriptor, or -1 with errno ELOOP, EXDEV (above the base),
// ENOTDIR, ENOENT, ENAMETOOLONG or what openat said.
int walk_beneath(int base, const char* relative);

// The refusal that an errno of walk_beneath or openat2 stands for.
DirRefusal refusal_for(int error);
