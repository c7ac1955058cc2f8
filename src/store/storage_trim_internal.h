// What the trimming tests, the fuzzer and the benchmark reach beyond the
// API: the walk of one trim without the measurement, and one head cut.
#pragma once

#include <cstdint>

#include "store/storage_trim.h"

// The walk of one trim: takes up to cut_remaining bytes from the files of
// the directory whose names sort at or before ready_name, in listing order,
// each file counted for what it holds (the lesser of its length and its
// allocated blocks).
// Names whose path or temporary path would not fit a path buffer are
// skipped: removeFile could not be handed them.
void trim_released_files(const LogDir& dir, const char* ready_name, std::uint64_t cut_remaining);

enum class CutOutcome { walk_ends, walk_goes_on };

// Cuts the head of the entry `name`, a regular file larger than
// cut_remaining ("Can not open file" for anything else): everything up to and
// including the first line end at or after offset cut_remaining goes. The
// file is moved to its ".tmp" name (never over an existing one), the kept
// part is copied back under the old name, and the temporary file goes to
// removeFile. With no line end before the last byte, none within
// LOG_LINE_MAX bytes of the offset, or a kept part longer than what the
// file holds (holes), the whole file goes.
// walk_ends once more than cut_remaining bytes are gone. Whatever fails
// after the move (the seek, a read, the new file, its write, removeFile),
// the whole old content goes back under its name and the walk goes on.
CutOutcome cut_file_head(const LogDir& dir, const char* name, std::uint64_t cut_remaining);
