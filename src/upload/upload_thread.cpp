#include "upload/upload_thread.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <span>

#include "store/storage_trim.h"
#include "sys/clock.h"
#include "sys/command_runner.h"
#include "sys/log.h"
#include "sys/paths.h"

namespace {

using CommandBuffer = std::array<char, ROOT_MAX + COMMAND_LINE_SIZE>;

// Runs send for one file; true exactly when the script exited with 0. The
// path reaches the script as one quoted word, whatever it holds. A path or
// command line that would be cut names another file: it is never run and
// counts as a failed send.
bool send_file(const LogDir& dir, const char* name) {
  PathBuffer script;
  PathBuffer path;
  CommandBuffer command;
  rooted_path(script.data(), rooted_size(PATH_SIZE), SEND_SCRIPT);
  if (!log_dir_script_path(dir, name, path)) return false;
  const std::array<const char*, 2> words{script.data(), path.data()};
  if (!compose_shell_command(std::span<char>(command.data(), rooted_size(COMMAND_LINE_SIZE)), words)) return false;
  return run_shell_line(command.data()) == 0;
}

// A delivered file waits send_period minutes for the next pass; a failed
// one is retried after the next pause, and storage is checked at once,
// since failures are what fill it.
void offer_file(const UploadSetup& setup, const char* name, std::int64_t* next_send) {
  if (!release_covers(*setup.release, name)) return;
  if (send_file(*setup.log_dir, name)) {
    *next_send = monotonic_seconds() + std::int64_t{setup.send_period} * 60;
    return;
  }
  release_hold(*setup.release, [&setup](const char* ready_name) { trim_storage(*setup.log_dir, ready_name); });
}

// The released name as it stands: the listing needs nothing later, which
// could be neither sent nor trimmed.
void read_released(ReleasedName& release, PathBuffer& released) {
  release_hold(release, [&released](const char* ready_name) {
    std::snprintf(released.data(), released.size(), "%s", ready_name);
  });
}

}  // namespace

void upload_pass(const UploadSetup& setup, std::int64_t* next_send) {
  // The paths handed to send name what the path names now. The polling
  // thread logs the change (or why the path is refused) for both threads.
  DirRefusal refusal = DirRefusal::none;
  log_dir_recheck(*setup.log_dir, &refusal);
  PathBuffer released;
  read_released(*setup.release, released);
  FileList names = log_dir_list(*setup.log_dir, released.data());
  if (!names) {
    log_msg(LOG_NOTICE, "Can not list directory");
    return;
  }
  // The whole listing is walked even after a success. It holds what was
  // released when the pass began; a file released meanwhile waits for the
  // next pass.
  for (char** name = names.get(); *name != nullptr; ++name) offer_file(setup, *name, next_send);
}

void* upload_thread(void* setup) {
  const auto& upload = *static_cast<const UploadSetup*>(setup);
  std::int64_t next_send = monotonic_seconds();
  for (;;) {
    // Strictly past: the first pass normally follows the first pause.
    if (monotonic_seconds() > next_send) upload_pass(upload, &next_send);
    pause_seconds(UPLOAD_WAKE_SECONDS);
  }
}

bool start_upload_thread(UploadSetup* setup) {
  pthread_t thread;
  int error = pthread_create(&thread, nullptr, upload_thread, setup);
  if (error != 0) {
    log_msg(LOG_ERR, "can not start upload thread: %s", std::strerror(error));
    return false;
  }
  return true;
}
