#include "upload/upload_thread.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <span>

#include "daemon/context.h"
#include "modbus/device_lock.h"
#include "sys/command_runner.h"
#include "sys/dir_query.h"
#include "sys/log.h"
#include "sys/pause.h"
#include "sys/paths.h"
#include "upload/storage_trim.h"

namespace {

using PathBuffer = std::array<char, ROOT_MAX + PATH_SIZE>;
using CommandBuffer = std::array<char, ROOT_MAX + COMMAND_LINE_SIZE>;

// Runs send for one file; true exactly when the script exited with 0. The
// path reaches the script as one quoted word, whatever it holds. A path or
// command line that would be cut names another file: it is never run and
// counts as a failed send.
bool send_file(const DaemonContext* context, const char* name) {
  PathBuffer script;
  PathBuffer path;
  CommandBuffer command;
  rooted_path(script.data(), rooted_size(PATH_SIZE), SEND_SCRIPT);
  std::size_t path_size = rooted_size(PATH_SIZE);
  int written = std::snprintf(path.data(), path_size, "%s/%s", context->log_dir.data(), name);
  if (written < 0 || static_cast<std::size_t>(written) >= path_size) return false;
  const std::array<const char*, 2> words{script.data(), path.data()};
  if (!compose_shell_command(std::span<char>(command.data(), rooted_size(COMMAND_LINE_SIZE)), words)) return false;
  return run_shell_line(command.data()) == 0;
}

// A delivered file waits send_period minutes for the next pass; a failed
// one is retried after the next pause, and storage is checked at once,
// since failures are what fill it.
void offer_file(DaemonContext* context, const char* name, std::int64_t* next_send) {
  if (!is_released(context, name)) return;
  if (send_file(context, name)) {
    *next_send = monotonic_seconds() + std::int64_t{context->send_period} * 60;
    return;
  }
  pthread_mutex_lock(&context->ready_lock);
  trim_storage(context);
  pthread_mutex_unlock(&context->ready_lock);
}

}  // namespace

bool is_released(DaemonContext* context, const char* name) {
  pthread_mutex_lock(&context->ready_lock);
  const char* ready_name = context->ready_name;
  // Anything but a whole log file name in ready_name (nothing released yet,
  // or a stray file released by mistake) releases nothing.
  bool released =
      strnlen(ready_name, sizeof context->ready_name) == LOG_NAME_LEN && std::strcmp(name, ready_name) <= 0;
  pthread_mutex_unlock(&context->ready_lock);
  return released;
}

void upload_pass(DaemonContext* context, std::int64_t* next_send) {
  char** names = list_regular_files(context->log_dir.data());
  if (names == nullptr) {
    log_msg(LOG_NOTICE, "Can not list directory");
    return;
  }
  // The whole listing is walked even after a success, and eligibility is
  // asked afresh per name, so a release during the pass counts at once.
  for (char** name = names; *name != nullptr; ++name) offer_file(context, *name, next_send);
  free_file_list(names);
}

void* upload_thread(void* context) {
  auto* daemon = static_cast<DaemonContext*>(context);
  std::int64_t next_send = monotonic_seconds();
  for (;;) {
    // Strictly past: the first pass normally follows the first pause.
    if (monotonic_seconds() > next_send) upload_pass(daemon, &next_send);
    pause_seconds(UPLOAD_WAKE_SECONDS);
  }
}

bool start_upload_thread(DaemonContext* context) {
  pthread_t thread;
  int error = pthread_create(&thread, nullptr, upload_thread, context);
  if (error != 0) {
    log_msg(LOG_ERR, "can not start upload thread: %s", std::strerror(error));
    return false;
  }
  return true;
}
