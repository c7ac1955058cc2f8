// The upload thread: offers released log files to the send script and trims
// storage after failed sends.
//
// Every UPLOAD_WAKE_SECONDS the thread checks whether its next-send time on
// the monotonic clock has passed; if so it runs one pass over a fresh
// listing of the log directory. A file is released once the released name
// is a whole log file name and the file's name sorts at or before it.
// ready_lock is held only to ask that and around each trim, never while
// send runs, so an upload over a slow line never holds up the polling
// thread.
#pragma once

#include <cstdint>

#include "store/log_dir.h"
#include "store/release.h"

constexpr unsigned UPLOAD_WAKE_SECONDS = 5;

// What the thread works with; it lives as long as the process.
struct UploadSetup {
  LogDir* log_dir;  // the thread's own hold on the log directory
  ReleasedName* release;
  std::uint32_t send_period;  // minutes from a successful send to the next pass
};

// Thread entry; the argument is the UploadSetup. Never returns.
void* upload_thread(void* setup);

// Starts the thread with default attributes; logs "can not start upload
// thread: %s" at LOG_ERR and returns false when it cannot be started.
bool start_upload_thread(UploadSetup* setup);

// One pass over a fresh listing of the released files of the log
// directory, held again first when its path has come to name another
// directory: every one is offered to send. A success moves *next_send to send_period minutes
// after the script ended; each failure, including a path or command line
// that would not fit its buffer (never run), is followed by trim_storage
// under ready_lock.
void upload_pass(const UploadSetup& setup, std::int64_t* next_send);
