// The newest line of each meter, from the newest log files read backwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/log_dir.h"
#include "survey.h"

// Bounds of one search: a meter without a line in this much of the newest
// data has been silent for many cycles anyway, and a gateway's tool must not
// read a whole card to say so.
constexpr unsigned SCAN_FILES_MAX = 8;
constexpr std::uint64_t SCAN_BYTES_MAX = std::uint64_t{16} << 20;

// Reads the files (newest first) from their ends backwards until every
// meter of `meters` has its newest "m<i>:<time>:" line or a bound is
// reached; meter i is the line's 0-based index. Returns the files read.
unsigned find_last_lines(const LogDir& dir, const std::vector<std::string>& newest_first,
                         std::vector<MeterFigure>& meters);
