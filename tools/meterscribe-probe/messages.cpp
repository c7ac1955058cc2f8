#include "messages.h"

#include "sys/log.h"

namespace {

// The capture hook is a plain function, so what it keeps lives here. The
// probe has one thread.
std::vector<std::string>& kept() {
  static std::vector<std::string> messages;
  return messages;
}

void keep(int /*level*/, const char* text) { kept().emplace_back(text); }

}  // namespace

void catch_daemon_messages() { log_set_capture(keep); }

std::vector<std::string> take_daemon_messages() {
  std::vector<std::string> taken;
  taken.swap(kept());
  return taken;
}
