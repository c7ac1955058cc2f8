// The daemon's clocks: the monotonic clock for every wait and deadline, and
// the whole-second pauses of the two threads. The wall clock only names
// log files and lines (see the log store).
#pragma once

#include <cstdint>

// Nanoseconds of CLOCK_MONOTONIC, or -1 when the clock cannot be read.
std::int64_t monotonic_ns();

// Milliseconds of CLOCK_MONOTONIC, or -1 when the clock cannot be read.
std::int64_t monotonic_ms();

// Whole seconds of CLOCK_MONOTONIC, or -1 when the clock cannot be read.
std::int64_t monotonic_seconds();

// Sleeps `seconds` whole seconds; an interruption by a signal sleeps on for
// what is left, so a pause is never cut short.
void pause_seconds(unsigned seconds);
