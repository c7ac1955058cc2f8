#include "watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "store/log_dir.h"

namespace {

constexpr std::uint32_t FILE_EVENTS = IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR;
constexpr std::uint32_t ROOT_EVENTS = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;

struct Watch {
  int fd;
  int root_wd;
  const std::string& root;
  const std::vector<std::string>& directories;
  const WatchHandlers& handlers;
  std::map<int, std::size_t> gateways;  // watch descriptor -> gateway
};

bool watching(const Watch& watch, std::size_t gateway) {
  return std::any_of(watch.gateways.begin(), watch.gateways.end(),
                     [gateway](const auto& entry) { return entry.second == gateway; });
}

// A directory that does not exist yet is watched once it appears; files
// that came before its watch are found by the look at the whole directory.
bool add_gateway(Watch& watch, std::size_t gateway) {
  std::string path = watch.root + "/" + watch.directories[gateway];
  int wd = inotify_add_watch(watch.fd, path.c_str(), FILE_EVENTS);
  if (wd < 0) return true;
  watch.gateways[wd] = gateway;
  return watch.handlers.directory(gateway);
}

bool on_root_event(Watch& watch, const inotify_event& event) {
  if ((event.mask & IN_ISDIR) == 0 || event.len == 0) return true;
  for (std::size_t gateway = 0; gateway < watch.directories.size(); ++gateway)
    if (watch.directories[gateway] == event.name && !watching(watch, gateway)) return add_gateway(watch, gateway);
  return true;
}

bool on_event(Watch& watch, const inotify_event& event) {
  // Lost events: every directory is looked at again.
  if ((event.mask & IN_Q_OVERFLOW) != 0)
    return std::all_of(watch.gateways.begin(), watch.gateways.end(),
                       [&watch](const auto& entry) { return watch.handlers.directory(entry.second); });
  if (event.wd == watch.root_wd) return on_root_event(watch, event);
  auto found = watch.gateways.find(event.wd);
  if ((event.mask & IN_IGNORED) != 0 && found != watch.gateways.end()) {
    watch.gateways.erase(found);  // the directory went away
    return true;
  }
  if (found == watch.gateways.end() || event.len == 0 || !is_log_name(event.name)) return true;
  return watch.handlers.file(found->second, event.name);
}

bool read_events(Watch& watch, bool& stop, std::string& error) {
  alignas(inotify_event) char buffer[64 * 1024];
  ssize_t got = read(watch.fd, buffer, sizeof buffer);
  if (got < 0 && errno == EINTR) return true;
  if (got <= 0) {
    error = std::string("reading inotify events: ") + std::strerror(errno);
    return false;
  }
  // Each event is its fixed part and its name, padded so the next one is
  // aligned again.
  for (ssize_t at = 0; at < got && !stop;) {
    const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
    stop = !on_event(watch, *event);
    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
  }
  return true;
}

}  // namespace

bool watch_tree(const std::string& root, const std::vector<std::string>& directories, const WatchHandlers& handlers,
                std::string& error) {
  int fd = inotify_init1(IN_CLOEXEC);
  if (fd < 0) {
    error = std::string("inotify: ") + std::strerror(errno);
    return false;
  }
  Watch watch{fd, inotify_add_watch(fd, root.c_str(), ROOT_EVENTS), root, directories, handlers, {}};
  bool ok = watch.root_wd >= 0;
  if (!ok) error = "cannot watch " + root + ": " + std::strerror(errno);
  bool stop = false;
  for (std::size_t gateway = 0; ok && !stop && gateway < directories.size(); ++gateway) stop = !add_gateway(watch, gateway);
  while (ok && !stop) ok = read_events(watch, stop, error);
  close(fd);
  return ok;
}
