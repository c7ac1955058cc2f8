// The newest line of each meter, from the newest log files read backwards.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "store/log_dir.h"
#include "survey.h"

// Bounds of one search: a meter without a line in this much of the newest
// data has been silent for many cycles anyway, and a gateway's tool must not
// read a whole card to say so.
constexpr unsigned SCAN_FILES_MAX = 8;
constexpr std::uint64_t SCAN_BYTES_MAX = std::uint64_t{16} << 20;

// The window of the answer counts.
constexpr std::time_t ANSWER_WINDOW_S = 3600;

// Reads the files (newest first) from their ends backwards until every
// meter of `meters` has its newest "m<i>:<time>:" line and a line older
// than the hour before `now` is reached, or until a bound is reached;
// meter i is the line's 0-based index. On the way it counts each meter's
// lines of that hour (`hour_lines`) and the poll cycles they show
// (`hour_cycles`): the daemon polls meter 0 to the last in order, so a line
// whose index is not above the one before it begins a new cycle. Cycles in
// which no meter answered leave no line and are not counted. Returns the
// files read.
unsigned find_last_lines(const LogDir& dir, const std::vector<std::string>& newest_first, std::time_t now,
                         std::vector<MeterFigure>& meters, std::uint32_t& hour_cycles);
