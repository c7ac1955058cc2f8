// meterscribe: Modbus RTU master that logs every valid meter response and
// hands the finished log files to the gateway's upload script.
#include <csignal>
#include <unistd.h>

#include "daemon/context.h"
#include "daemon/poll_loop.h"
#include "daemon/start_up.h"
#include "store/log_store.h"
#include "sys/log.h"
#include "sys/paths.h"
#include "upload/upload_thread.h"

namespace {

// The one context and what the two threads work with; they live as long as
// the process.
DaemonContext context;
LogStore store;
UploadSetup upload;
// The upload thread's own hold on the log directory; the polling thread
// holds context.log_dir. Each opens its own again when the path comes to
// name another directory, so neither swaps a descriptor the other uses.
LogDir upload_log_dir;

// The start-up steps in their order; each failure has been logged where it
// was found.
bool start_up() {
  load_settings(&context);
  if (!derive_meter_table(&context)) return false;
  PathBuffer log_dir_path;
  if (!select_storage(context, log_dir_path) || !open_log_dir(context, log_dir_path.data())) return false;
  ask_port_mode(context);
  if (!open_line(context)) return false;
  store = {&context.log_dir, &context.release, context.send_period, ""};
  log_dir_copy(upload_log_dir, context.log_dir);
  upload = {&upload_log_dir, &context.release, context.send_period};
  return true;
}

}  // namespace

// Every start-up failure ends the process with status 1 after its message;
// once the loop runs, nothing but a signal ends it.
int main() {
  setsid();
  // A launcher may have left SIGCHLD ignored; then no script's status could
  // ever be collected.
  signal(SIGCHLD, SIG_DFL);
  bool root_ok = paths_init_from_env();
  log_open();
  log_msg(LOG_NOTICE, "started");
  if (!root_ok) {
    log_msg(LOG_ERR, "METERSCRIBE_ROOT is too long");
    return 1;
  }
  if (!start_up()) return 1;
  start_upload_thread(&upload);
  polling_loop(context, store);
}
