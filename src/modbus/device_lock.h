// UUCP-style lock file for the serial device: "LCK.." and the last path
// component of the device, in the lock directory, holding "%10d\n" of the
// owner's process id. Other serial tools honour the same convention.
#pragma once

#include <sys/types.h>

// Takes the device's lock, taking over stale locks (owner dead, or no valid
// id), retrying every 100 ms until the monotonic second count passes
// start + timeout_s. 1 when this process now holds the lock, 0 otherwise.
int lock_device(const char* device_path, int timeout_s);

// Removes the device's lock file, whoever holds it; failures are ignored.
void unlock_device(const char* device_path);

// 1 unless the process is known not to exist (kill reports ESRCH).
int process_alive(pid_t pid);

// kill(pid, sig) for pid > 0; for pid <= 0 sends nothing, sets errno to
// ESRCH and returns -1, so no process group is ever signalled.
int signal_process(pid_t pid, int sig);
