// meterscribe: Modbus RTU master that logs every valid meter response and
// hands the finished log files to the gateway's upload script.
#include <csignal>
#include <cstdio>
#include <cstring>
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

// The daemon takes no arguments: all it needs is in the settings file. Only
// --help and --version are answered, for someone at a shell, on standard
// output. Anything else is left alone, with one word on standard error so
// that a mistyped option is not taken silently, and the daemon starts as
// usual: a unit or init script that passes something must not stop logging.
// Returns true when the process has answered and should end.
bool answer_arguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("meterscribe %s\n", METERSCRIBE_VERSION);
      return true;
    }
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf("usage: meterscribe\n"
                  "Polls the meters of /opt/meterscribe/etc/settings and logs their answers; takes no\n"
                  "arguments and reports through syslog. See meterscribe(8).\n");
      return true;
    }
  }
  if (argc > 1) (void)std::fprintf(stderr, "meterscribe: ignoring %d argument(s), starting as usual: it takes none\n", argc - 1);
  return false;
}

}  // namespace

// Every start-up failure ends the process with status 1 after its message;
// once the loop runs, nothing but a signal ends it.
int main(int argc, char** argv) {
  if (answer_arguments(argc, argv)) return std::fflush(stdout) == 0 ? 0 : 1;
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
