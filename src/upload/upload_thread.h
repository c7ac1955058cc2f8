// The upload thread: offers released log files to the send script and trims
// storage after failed sends.
//
// Every UPLOAD_WAKE_SECONDS the thread checks whether its next-send time on
// the monotonic clock has passed; if so it runs one pass over a fresh
// listing of log_dir. A file is released once ready_name is a whole log
// file name and the file's name sorts at or before it. ready_lock is held
// only to read ready_name and around each trim, never while send runs, so
// an upload over a slow line never holds up the polling thread.
#pragma once

#include <cstdint>

struct DaemonContext;

constexpr unsigned UPLOAD_WAKE_SECONDS = 5;

// Thread entry; the argument is the one DaemonContext. Never returns.
void* upload_thread(void* context);

// Starts the thread with default attributes; logs "can not start upload
// thread: %s" at LOG_ERR and returns false when it cannot be started.
bool start_upload_thread(DaemonContext* context);

// One pass over a fresh listing of log_dir: every released name is offered
// to send. A success moves *next_send to send_period minutes after the
// script ended; each failure, including a path or command line that would
// not fit its buffer (never run), is followed by trim_storage under
// ready_lock.
void upload_pass(DaemonContext* context, std::int64_t* next_send);

// Whether name may be offered now: ready_name, read under ready_lock, is
// exactly LOG_NAME_LEN characters long and name sorts at or before it.
bool is_released(DaemonContext* context, const char* name);
