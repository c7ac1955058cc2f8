// The daemon's one voice: every message of the system goes through log_msg.
// Production writes to syslog; unit tests install a capture hook instead.
#pragma once

#include <syslog.h>

// Opens syslog with the daemon's ident, LOG_PID | LOG_NDELAY and LOG_DAEMON.
// With METERSCRIBE_LOG_STDERR=1 in the environment, LOG_PERROR is added so the
// demo and the end-to-end tests can read the messages on standard error.
void log_open();

// printf-style message at a syslog level (LOG_ERR, LOG_NOTICE, ...).
void log_msg(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A capture hook receives every message (level and formatted text) in place
// of syslog. Null removes the hook. For tests; not thread-safe to change
// while other threads log.
using LogCaptureHook = void (*)(int level, const char* text);
void log_set_capture(LogCaptureHook hook);
