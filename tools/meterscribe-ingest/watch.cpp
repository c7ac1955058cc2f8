#include "watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <utility>

#include "store/log_dir.h"
#include "sys/clock.h"

namespace {

constexpr std::uint32_t FILE_EVENTS = IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR;
constexpr std::uint32_t ROOT_EVENTS = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;

// A file to be taken again without an event.
struct Pending {
  std::int64_t due_ms;  // on the monotonic clock
  // cppcheck-suppress unusedStructMember ; read in take_file through an iterator
  unsigned retry_wait_s;  // the last back-off; 0 before the first failure
};

using FileKey = std::pair<std::size_t, std::string>;  // gateway, name

struct Watch {
  int fd;
  int root_wd;
  const std::string& root;
  const std::vector<std::string>& directories;
  const WatchHandlers& handlers;
  std::map<int, std::size_t> gateways;  // watch descriptor -> gateway
  std::map<FileKey, Pending> pending;
};

bool watching(const Watch& watch, std::size_t gateway) {
  return std::any_of(watch.gateways.begin(), watch.gateways.end(),
                     [gateway](const auto& entry) { return entry.second == gateway; });
}

// Takes a file now and says whether the watch goes on; what it leaves to
// do is kept with its time.
bool take_file(Watch& watch, std::size_t gateway, const std::string& name) {
  FileVerdict verdict = watch.handlers.file(gateway, name);
  FileKey key{gateway, name};
  auto found = watch.pending.find(key);
  unsigned last_retry_s = found != watch.pending.end() ? found->second.retry_wait_s : 0;
  std::int64_t now = monotonic_ms();
  switch (verdict.next) {
    case FileNext::done:
      if (found != watch.pending.end()) watch.pending.erase(found);
      return true;
    case FileNext::again:
      watch.pending[key] = {now + 1000 * static_cast<std::int64_t>(std::max(verdict.wait_s, 1u)), last_retry_s};
      return true;
    case FileNext::retry: {
      unsigned wait_s = retry_after(last_retry_s);
      watch.pending[key] = {now + 1000 * static_cast<std::int64_t>(wait_s), wait_s};
      return true;
    }
    case FileNext::stop: return false;
  }
  return true;
}

bool take_directory(Watch& watch, std::size_t gateway) {
  for (const std::string& name : watch.handlers.names(gateway))
    if (!take_file(watch, gateway, name)) return false;
  return true;
}

// A directory that does not exist yet is watched once it appears; files
// that came before its watch are found by the look at the whole directory.
bool add_gateway(Watch& watch, std::size_t gateway) {
  std::string path = watch.root + "/" + watch.directories[gateway];
  int wd = inotify_add_watch(watch.fd, path.c_str(), FILE_EVENTS);
  if (wd < 0) return true;
  watch.gateways[wd] = gateway;
  return take_directory(watch, gateway);
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
                       [&watch](const auto& entry) { return take_directory(watch, entry.second); });
  if (event.wd == watch.root_wd) return on_root_event(watch, event);
  auto found = watch.gateways.find(event.wd);
  if ((event.mask & IN_IGNORED) != 0 && found != watch.gateways.end()) {
    watch.gateways.erase(found);  // the directory went away
    return true;
  }
  if (found == watch.gateways.end() || event.len == 0 || !is_log_name(event.name)) return true;
  return take_file(watch, found->second, event.name);
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

// Milliseconds until the first pending file is due; -1 (no limit) when
// none waits.
int next_timeout_ms(const Watch& watch) {
  if (watch.pending.empty()) return -1;
  std::int64_t due = std::min_element(watch.pending.begin(), watch.pending.end(), [](const auto& a, const auto& b) {
                       return a.second.due_ms < b.second.due_ms;
                     })->second.due_ms;
  return static_cast<int>(std::clamp<std::int64_t>(due - monotonic_ms(), 0, INT_MAX));
}

// Takes every file whose time has come, each once.
bool take_due(Watch& watch) {
  std::int64_t now = monotonic_ms();
  std::vector<FileKey> due;
  for (const auto& [key, pending] : watch.pending)
    if (pending.due_ms <= now) due.push_back(key);
  for (const FileKey& key : due)
    if (!take_file(watch, key.first, key.second)) return false;
  return true;
}

bool wait_and_take(Watch& watch, bool& stop, std::string& error) {
  pollfd ready{watch.fd, POLLIN, 0};
  int polled = poll(&ready, 1, next_timeout_ms(watch));
  if (polled < 0 && errno != EINTR) {
    error = std::string("waiting for inotify events: ") + std::strerror(errno);
    return false;
  }
  if (polled > 0 && !read_events(watch, stop, error)) return false;
  if (!stop) stop = !take_due(watch);
  return true;
}

}  // namespace

unsigned retry_after(unsigned previous_s) {
  if (previous_s == 0) return RETRY_FIRST_S;
  return previous_s >= RETRY_LONGEST_S / 2 ? RETRY_LONGEST_S : 2 * previous_s;
}

bool watch_tree(const std::string& root, const std::vector<std::string>& directories, const WatchHandlers& handlers,
                std::string& error) {
  int fd = inotify_init1(IN_CLOEXEC);
  if (fd < 0) {
    error = std::string("inotify: ") + std::strerror(errno);
    return false;
  }
  Watch watch{fd, inotify_add_watch(fd, root.c_str(), ROOT_EVENTS), root, directories, handlers, {}, {}};
  bool ok = watch.root_wd >= 0;
  if (!ok) error = "cannot watch " + root + ": " + std::strerror(errno);
  bool stop = false;
  for (std::size_t gateway = 0; ok && !stop && gateway < directories.size(); ++gateway) stop = !add_gateway(watch, gateway);
  while (ok && !stop) ok = wait_and_take(watch, stop, error);
  close(fd);
  return ok;
}
