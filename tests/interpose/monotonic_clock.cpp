// Sets CLOCK_MONOTONIC where the lock-timing tests want it:
//
//   MS_MONOTONIC_START=<seconds>   the clock reads <seconds> (with the real
//                                  nanoseconds) at the process's first
//                                  reading, and runs on at the real rate
//
// Other clocks, and every clock without the variable, pass through to the
// C library. A 32-bit program built with 64-bit time calls
// __clock_gettime64; there the header maps the name clock_gettime below to
// that symbol, so one definition serves 32-bit and 64-bit builds alike.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>

namespace {

#ifdef __USE_TIME_BITS64
constexpr const char* REAL_NAME = "__clock_gettime64";
#else
constexpr const char* REAL_NAME = "clock_gettime";
#endif

using ClockFn = int (*)(clockid_t, struct timespec*);

ClockFn real_clock() {
  static const ClockFn real = reinterpret_cast<ClockFn>(dlsym(RTLD_NEXT, REAL_NAME));
  return real;
}

// Seconds added to every monotonic reading, fixed by the first reading.
std::int64_t shift_for(std::int64_t first_seconds) {
  static const std::int64_t shift = [first_seconds] {
    const char* start = std::getenv("MS_MONOTONIC_START");
    return start != nullptr ? std::strtoll(start, nullptr, 10) - first_seconds : 0;
  }();
  return shift;
}

}  // namespace

extern "C" int clock_gettime(clockid_t clock, struct timespec* now) noexcept {
  ClockFn real = real_clock();
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  int result = real(clock, now);
  if (result == 0 && clock == CLOCK_MONOTONIC) {
    std::int64_t seconds = now->tv_sec;
    now->tv_sec = static_cast<time_t>(seconds + shift_for(seconds));
  }
  return result;
}
