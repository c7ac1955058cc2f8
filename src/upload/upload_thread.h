// The upload thread: offers released log files to the send script and trims
// storage after failed sends.
#pragma once

#include <cstdint>

struct DaemonContext;

constexpr unsigned UPLOAD_WAKE_SECONDS = 5;

// Thread entry; the argument is the one DaemonContext. Never returns.
void* upload_thread(void* context);

// Starts the thread with default attributes; logs and returns false when it
// cannot be started.
bool start_upload_thread(DaemonContext* context);
