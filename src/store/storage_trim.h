// Keeping the log storage below its fill threshold by trimming released
// log files.
//
// After every failed send the upload thread measures the storage that holds
// log_dir. At 67 % use or more, about a fifth of the bytes that the regular
// files in log_dir hold are taken from released files (names that sort at
// or before ready_name), in listing order: a file that fits into what is
// still to be removed goes whole, a larger one loses its head just after a
// line end, so what remains begins with a whole line. Every removal goes
// through the removeFile script with a reason word. Nothing here ever
// replaces or truncates the only copy of a line.
#pragma once

#include <cstdint>

#include "store/log_dir.h"

constexpr unsigned TRIM_THRESHOLD_PERCENT = 67;
constexpr unsigned TRIM_SHARE_PERCENT = 20;
constexpr std::uint64_t RAM_RESERVE_BYTES = 0x2000000;  // 32 MiB left out of RAM readings

constexpr const char* REASON_WHOLE_FILE = "storage_full";
constexpr const char* REASON_CUT_FILE = "storage_full_tmp";

// The use of the storage that holds the log directory, in whole percent,
// rounded down. The volatile log directory (exactly the rooted
// VOLATILE_LOG_DIR) lives in RAM: the total from sysinfo against what is
// available (MemAvailable, which counts the page cache; free memory and
// buffers where the kernel lacks it), both less the 32 MiB reserve; when
// it is the root of a tmpfs of its own, that tmpfs's use too, and the
// higher of the two decides (a tmpfs shared with others, such as /run,
// counts as RAM alone). Any other directory is measured with statvfs
// (f_bavail: what an unprivileged writer may use). Every query that fails
// logs "error reading system statistics". Returns false when no use is
// known (a reading failed or a capacity reads 0): nobody may trim on it.
bool storage_use_percent(const LogDir& dir, std::uint64_t* percent);

// Whether the directory at `path` lies on a file system held in RAM
// (tmpfs or ramfs), in *on_ram. The volatile log directory belongs on one:
// anywhere else its logs wear the gateway's flash and fill its disk, while
// the RAM they are measured by stays free. False when the directory cannot
// be examined (missing, no access).
bool on_ram_file_system(const char* path, bool* on_ram);

// Measures the storage and, at TRIM_THRESHOLD_PERCENT or more, removes
// TRIM_SHARE_PERCENT of what the released files hold (those at or before
// ready_name) from them. Files that sort later cannot be trimmed and do
// not count: the current file, and anything planted to sort after it. A
// file holds the lesser of its length and its allocated blocks, so the
// holes of a sparse file count for nothing. Called with ready_lock held
// throughout (see release_hold), so no release happens meanwhile.
void trim_storage(const LogDir& dir, const char* ready_name);
