#include "sys/clock.h"

#include <cerrno>
#include <ctime>

namespace {

constexpr std::int64_t NS_PER_MS = 1'000'000;
constexpr std::int64_t NS_PER_S = 1'000'000'000;

// Each unit is taken from the reading itself: seconds never pass through
// nanoseconds, so a clock far from zero cannot overflow on the way.
template <std::int64_t NS_PER_UNIT>
std::int64_t monotonic_in() {
  timespec now{};
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return -1;
  return static_cast<std::int64_t>(now.tv_sec) * (NS_PER_S / NS_PER_UNIT) + now.tv_nsec / NS_PER_UNIT;
}

}  // namespace

std::int64_t monotonic_ns() { return monotonic_in<1>(); }
std::int64_t monotonic_ms() { return monotonic_in<NS_PER_MS>(); }
std::int64_t monotonic_seconds() { return monotonic_in<NS_PER_S>(); }

void pause_seconds(unsigned seconds) {
  timespec left{static_cast<time_t>(seconds), 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
