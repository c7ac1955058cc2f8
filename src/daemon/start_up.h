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

// Opens the log directory for the life of the process. The volatile
// directory is trusted; on a memory card, the part of the path below the
// mount point is opened without following a symbolic link and without
// leaving the card's file system. False after "error: directory %s not
// exists", or after a message that names the path and why it was refused.
bool open_log_dir(DaemonContext& context, const char* path);

// Asks the GPIO driver whether the port is wired for RS-485.
void ask_port_mode(DaemonContext& context);

// Locks and opens "/dev/" + device and, on an RS-485 port, sets the driver
// to receive. False after "device %s is locked", or after the open failed
// (logged by the serial port; the lock is removed again).
bool open_line(DaemonContext& context);
