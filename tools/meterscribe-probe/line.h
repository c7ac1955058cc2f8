// The probe's hold on the serial line: the settings as the daemon reads
// them, the device lock as the daemon takes it, and the port opened and set
// up by the daemon's own code. Every failure is told on standard error.
#pragma once

#include <array>

#include "daemon/context.h"
#include "exchange.h"
#include "sys/paths.h"

struct ProbeLine {
  DaemonContext context;  // every setting; serial_fd and rs485_mode once open
  unsigned meter_count;   // meters polled in each cycle
  std::array<char, PATH_SIZE> device_path;
  bool locked;
};

// Reads the settings file with the daemon's reader; called first, on a
// zeroed record. False, after saying why, when the file cannot be read or names no meter or no device.
bool load_probe_settings(const char* path, ProbeLine& line);

// Decides the line's direction, locks the device and opens the line as the
// daemon's start-up does, with the settings' RS-485 control. False after
// saying why: the lock is held (by whom, and how to stop the daemon), the
// port cannot be opened, or its driver refuses the kernel's RS-485 mode.
bool take_line(ProbeLine& line);

ProbeLink link_of(const ProbeLine& line);

// How the open line is driven, for the head of the report: "RS-232",
// "RS-485" (RTS switched by the probe), "RS-485 by the driver" (the
// kernel's RS-485 mode), or "no direction switching" (RS485=none).
const char* line_kind(const ProbeLine& line);

// Closes the port, removes our lock and frees the settings.
void release_line(ProbeLine& line);
