// meterscribe: Modbus RTU master that logs every valid meter response.
#include <cstdlib>
#include <unistd.h>

#include "daemon/context.h"
#include "sys/log.h"
#include "sys/paths.h"

namespace {
// The one context; it lives as long as the process.
DaemonContext context;
}  // namespace

int main() {
  setsid();
  paths_init_from_env();
  log_open();
  log_msg(LOG_NOTICE, "started");
  load_settings(&context);
  derive_meter_table(&context);
  return 1;
}
