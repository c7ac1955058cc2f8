// UUCP-style lock file for the serial device: "LCK.." and the last path
// component of the device, in the lock directory, holding "%10d\n" of the
// owner's process id. Other serial tools honour the same convention.
//
// This module is the one place that names, reads and judges a lock: the
// daemon takes its line by judge_lock's verdict, and the field tools report
// and explain a lock by the same verdict, so a file means the same to all.
#pragma once

#include <sys/types.h>

#include <array>

#include "sys/paths.h"

// What an entry at the lock path is to a starter.
enum class LockState {
  none,              // no entry: the lock is free
  held,              // a regular file naming a live process, root's or of one of that process's users
  being_written,     // an empty regular file under half a second old: its owner is still writing it
  stale,             // a regular file naming no live process (dead, 0, negative, out of range, text, empty and
                     // older), or forged: naming a live process of a user other than the file's owner
  not_regular_file,  // a link, FIFO, device node, socket or directory: no tool's lock
  unreadable,        // cannot be looked at or opened for reading: whose it is cannot be told
};

struct LockJudgement {
  LockState state = LockState::none;
  pid_t owner = 0;  // the process id it names, when it names one in range (held; stale: dead or forged)
  mode_t kind = 0;  // the entry's file type (S_IFMT bits) when there is one
  int error = 0;    // errno when unreadable
  bool forged = false;  // stale although its process lives: the file is neither root's nor that process's user's
};

// Reads the entry at lock_path as a starter must: looked at without
// following a link; only a regular file is opened, through a descriptor,
// never following a link, never blocking and never as a controlling
// terminal; at most the first 63 bytes are read.
LockJudgement judge_lock(const char* lock_path);

// Whether a starter clears the path and takes the lock: a stale lock, or
// an entry that is no lock at all. A directory is moved aside whole (into
// a fresh "not-a-lock.XXXXXX" in the lock directory), everything else
// removed; nothing there is ever followed.
bool lock_is_taken_over(LockState state);

// The lock path of a device, below the root, in a path buffer. False when
// it does not fit: a cut name could be the lock of another device, so it is
// refused, never cut.
bool lock_path_of(const char* device_path, PathBuffer& lock_path);

// Takes the device's lock, taking over stale locks (judge_lock), retrying
// every 100 ms until the monotonic second count passes start + timeout_s.
// 1 when this process now holds the lock, 0 otherwise. Logs a forged lock,
// a link or a directory it cleared away. First removes the drafts left by
// starters that died before publishing their lock.
int lock_device(const char* device_path, int timeout_s);

// Removes the device's lock file, whoever holds it; failures are ignored.
void unlock_device(const char* device_path);

// 1 unless the process is known not to exist (kill reports ESRCH).
int process_alive(pid_t pid);

// kill(pid, sig) for pid > 0; for pid <= 0 sends nothing, sets errno to
// ESRCH and returns -1, so no process group is ever signalled.
int signal_process(pid_t pid, int sig);

// `path` as the process sees it: its root directory in its own mount
// namespace (/proc/<pid>/root) followed by `path`, into out. A card the
// service mounted in its private namespace shows there and nowhere else.
// False when pid is not positive, the text does not fit, or this process
// may not enter that root (another user's process, no /proc).
bool process_root_path(pid_t pid, const char* path, char* out, std::size_t out_size);

// The command name of a process (its /proc/<pid>/comm, at most 15
// characters); false, with an empty name, when it cannot be read.
using ProcessName = std::array<char, 32>;
bool process_name(pid_t pid, ProcessName& name);
