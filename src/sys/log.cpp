#include "sys/log.h"

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* LOG_IDENT = "meterscribe";
std::atomic<LogCaptureHook> capture_hook{nullptr};

bool stderr_wanted() {
  const char* value = std::getenv("METERSCRIBE_LOG_STDERR");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace

void log_open() {
  int options = LOG_PID | LOG_NDELAY;
  if (stderr_wanted()) options |= LOG_PERROR;
  openlog(LOG_IDENT, options, LOG_DAEMON);
}

void log_set_capture(LogCaptureHook hook) { capture_hook.store(hook); }

void log_msg(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (LogCaptureHook hook = capture_hook.load(); hook != nullptr) {
    std::array<char, 1024> text;
    vsnprintf(text.data(), text.size(), format, args);
    hook(level, text.data());
  } else {
    vsyslog(level, format, args);
  }
  va_end(args);
}
