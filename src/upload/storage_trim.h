// Keeping the log storage below its fill threshold by trimming released
// log files.
#pragma once

#include <cstdint>

struct DaemonContext;

constexpr unsigned TRIM_THRESHOLD_PERCENT = 67;
constexpr unsigned TRIM_SHARE_PERCENT = 20;
constexpr std::uint64_t RAM_RESERVE_BYTES = 0x2000000;

// Measures the storage that holds log_dir and, at 67 % use or more, removes
// about 20 % of the logged bytes from released files. The caller holds
// ready_lock throughout.
void trim_storage(DaemonContext* context);
