// The start-up steps between the settings and the polling loop. Each logs
// why it failed and returns false; the entry point alone turns that into
// the exit with status 1.
#pragma once

#include "daemon/context.h"
#include "sys/paths.h"

constexpr unsigned MEMCARD_TEXT_SIZE = 128;  // the memory-card command text

// Runs the memory-card script ("mount" with a card configured, "umount"
// without) and composes the log directory's path (daemon/log_location).
// False after "error: %s failed" when the mount failed, or after "error:
// log directory %s is too long"; a failed unmount is logged and the
// volatile directory is used.
bool select_storage(const DaemonContext& context, PathBuffer& log_dir_path);

// Opens the log directory for the polling thread. The volatile directory
// is trusted; on a memory card, the part of the path below the mount point
// is opened without following a symbolic link and without climbing above
// the mount point (a file system mounted below it is entered). False after
// "error: directory %s not exists", or after a message that names the path
// and why it was refused.
bool open_log_dir(DaemonContext& context, const char* path);

// Once the loop runs: when the path no longer names the directory held (a
// remount, a file system mounted over it), opens it again under the same
// rules and logs "log directory %s names another directory now; opened it
// again" at LOG_NOTICE; a path that can no longer be opened is logged as
// start-up logs it, once, and nothing is held until it can be again. The
// polling thread asks this at most once a second; the upload thread
// follows its own hold silently before each pass.
void follow_log_dir(LogDir& dir);

// Decides how the line's direction is switched (MOD_METERSCRIBE_RS485); by
// default asks the GPIO driver whether the port is wired for RS-485.
void ask_port_mode(DaemonContext& context);

// Locks and opens "/dev/" + device and starts its direction: on a port we
// switch, the driver set to receive; in the kernel's RS-485 mode, that mode
// set up. False after "device %s is locked", or after the open or the
// kernel's RS-485 mode failed (logged there; the lock is removed again).
bool open_line(DaemonContext& context);
