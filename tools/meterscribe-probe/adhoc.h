// Commissioning a meter nobody has configured yet: one read given on the
// command line, or a scan of slave addresses and framings for whatever
// answers. The line is locked, set up and polled by the same code as a
// configured meter's, and the answers are judged and printed the same way.
#pragma once

#include <csignal>
#include <vector>

#include "modbus/meter_config.h"
#include "report.h"

// The longest first-byte wait --timeout takes.
constexpr unsigned ADHOC_TIMEOUT_MAX_MS = 60000;

// What the command line asks of a read or a scan.
struct AdHocRequest {
  const char* device = nullptr;  // a path, or a name below /dev
  bool scan = false;
  unsigned slave = 0;            // a read's slave; 0 until given
  unsigned first_slave = 1;      // a scan's range
  unsigned last_slave = 247;
  unsigned function = 3;
  unsigned start = 0;
  unsigned count = 1;
  std::vector<unsigned> bauds;        // empty: 9600
  std::vector<const char*> parities;  // "none", "even", "odd"; empty: none
  unsigned stop_bits = 1;
  unsigned timeout_ms = 0;            // for the first byte; 0: 1000 for a read, 100 for a scan
  const char* rs485 = "";             // the RS485 setting's word; "": gpio, the daemon's default
};

// Option values, each checked alone. False after a one-line usage error.
bool parse_baud_list(const char* text, std::vector<unsigned>& bauds);
bool parse_parity_list(const char* text, std::vector<const char*>& parities);
bool parse_slave_range(const char* text, unsigned& first, unsigned& last);

// What can only be judged with every option known: a read needs its
// slave, a list of framings is for a scan, the count must suit the
// function and stay within the address space. False after a usage error.
bool check_adhoc_request(const AdHocRequest& request);

// The read or the scan, start to end: lock, open, poll, print, release.
// The exit status: 0 a correct answer (a read) or some slave answered (a
// scan), 1 not, 2 the line could not be taken.
int run_adhoc(const AdHocRequest& request, const ReportOptions& report, const volatile std::sig_atomic_t& stop_asked);
