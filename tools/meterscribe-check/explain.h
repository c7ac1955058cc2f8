// How the daemon will understand its settings: the meters it polls and
// those it ignores, the serial line after fallbacks, and the storage. Each
// section prints plain text and adds what is surprising to the findings.
#pragma once

#include <cstdio>

#include "daemon/context.h"
#include "file_scan.h"
#include "findings.h"

void explain_meters(FILE* out, const DaemonContext& context, const KeyLines& keys, Findings& findings);
void explain_serial_line(FILE* out, const DaemonContext& context, const KeyLines& keys, Findings& findings);
void explain_storage(FILE* out, const DaemonContext& context, Findings& findings);
