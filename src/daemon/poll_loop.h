// Start-up steps and the polling loop of the main thread.
#pragma once

#include <cstdint>

struct DaemonContext;

constexpr unsigned FIRST_BYTE_WAIT_MS = 1000;
constexpr unsigned MEMCARD_TEXT_SIZE = 128;  // command text and card directory

// Runs the memory-card script ("mount" with a card configured, "umount"
// without) and sets log_dir. A failed mount ends the process with status 1;
// a failed unmount is logged and the volatile directory is used.
void select_storage(DaemonContext* context);

// One exchange with meter `index` (0-based): request, response within the
// first-byte wait and the split budget, check, and log line.
// request_buffer holds RESPONSE_MAX bytes.
void poll_meter(DaemonContext* context, unsigned index, std::uint8_t* request_buffer);

// Polls every meter, sleeps `period` seconds, and again, for ever.
[[noreturn]] void polling_loop(DaemonContext* context);

// Reads a response into buffer (at most `capacity` bytes) once the first
// byte is there: reads what the port has, then waits for more within one
// budget of `split_ms` shared by all waits of the response. Returns the
// number of bytes received.
unsigned read_response(int serial_fd, std::uint8_t* buffer, unsigned capacity, std::uint32_t split_ms);
