// Where the settings put the log files: the one composition of the log
// directory's path, for the daemon's start-up and for every tool that looks
// at the same directory.
#pragma once

#include <cstddef>

#include "daemon/context.h"
#include "sys/paths.h"

// Room for the log directory's path after the root: 127 characters and the
// NUL, the buffer the memory-card directory has always been composed in.
constexpr std::size_t LOG_DIR_SIZE = 128;

// Writes the log directory's path into out (out_size bytes, cut like
// snprintf) and returns the length of the whole path. With `cache` empty it
// is the volatile directory; with a card it is the card's mount point, "/"
// and `cache_dir` (an empty cache_dir leaves the trailing slash). Below the
// root.
std::size_t write_log_dir_path(const DaemonContext& context, char* out, std::size_t out_size);

// Whether a path of this length (as write_log_dir_path returns it) fits the
// room the daemon has for it.
bool log_dir_path_fits(std::size_t length);

// The log directory's path in `path`. False, after logging "error: log
// directory %s is too long" (the whole path) at LOG_ERR, when it does not
// fit: cut, it would name another directory, so it is refused instead.
bool compose_log_dir(const DaemonContext& context, PathBuffer& path);
