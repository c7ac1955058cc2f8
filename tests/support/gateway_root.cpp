#include "support/gateway_root.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

GatewayRootTest::GatewayRootTest() {
  root.write_script(MEMCARD_SCRIPT, "exit 0\n");
  root.write_script(SEND_SCRIPT, "exit 1\n");
  root.write_script(REMOVE_SCRIPT, "exit 1\n");
}

// The card is mounted where memCard mounts it; its log directory is a
// directory on it, as the daemon requires.
bool GatewayRootTest::mount_card(unsigned size_kib) {
  card = std::make_unique<TmpfsMount>(root.at(MEMCARD_LOG_DIR), size_kib);
  log_dir = root.at(MEMCARD_LOG_DIR) + "/card";
  return card->mounted() && (::mkdir(log_dir.c_str(), 0755) == 0 || errno == EEXIST);
}

bool GatewayRootTest::start_sim(const std::vector<std::string>& options) {
  sim = std::make_unique<MeterSimProcess>(options);
  return sim->started();
}

void GatewayRootTest::start_daemon(unsigned meters, const std::string& first_lines, std::vector<std::string> env) {
  root.write_settings(meter_settings(sim->device(), meters, first_lines));
  daemon = std::make_unique<DaemonProcess>(root.path(), std::move(env));
}

std::string GatewayRootTest::lock_file(const std::string& device) const {
  return root.at(LOCK_DIR) + "/LCK.." + device.substr(device.rfind('/') + 1);
}

std::string lock_content(pid_t pid) {
  char text[32];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
  return text;
}

pid_t dead_pid() {
  pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return child;
}
