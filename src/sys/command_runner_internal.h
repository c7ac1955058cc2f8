// What the command runner tests reach beyond the API: the stream choice of
// the next run_command child and the capture buffer.
#pragma once

#include <cstddef>

#include "sys/command_runner.h"

// Per-thread choice of the standard streams for the next run_command child:
// an entry equal to its stream's number is inherited, another entry of 0 or
// more becomes the stream, a negative entry means /dev/null. The daemon
// never sets it: its scripts run with every stream on /dev/null.
struct ChildRedirect {
  int in_fd;
  int out_fd;
  int err_fd;
};
extern thread_local ChildRedirect child_redirect;

// Collected standard output and error of run_shell_capture children.
extern char capture_buffer[CAPTURE_SIZE];
