// The polling loop of the main thread: one request and one response per
// meter, every valid response a line in the log store, then a pause.
#pragma once

#include <cstdint>

#include "daemon/context.h"
#include "store/log_store.h"

// One exchange with meter `index` (0-based): request, response within the
// first-byte wait and the split budget, check, and log line.
// request_buffer holds RESPONSE_MAX bytes.
void poll_meter(const DaemonContext& context, LogStore& store, unsigned index, std::uint8_t* request_buffer);

// Polls every meter, sleeps `period` seconds, and again, for ever.
[[noreturn]] void polling_loop(const DaemonContext& context, LogStore& store);
