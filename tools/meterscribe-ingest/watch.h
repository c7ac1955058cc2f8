// Watching the delivered-files tree: a file is taken once the server has
// closed it after writing (IN_CLOSE_WRITE) or renamed it into place
// (IN_MOVED_TO), never while it is still arriving.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct WatchHandlers {
  // A log file of gateway `gateway` (an index into the directories) is
  // complete. False stops the watch.
  std::function<bool(std::size_t gateway, const std::string& name)> file;
  // Everything in the gateway's directory is to be looked at again: it was
  // just created, or events were lost. False stops the watch.
  std::function<bool(std::size_t gateway)> directory;
};

// Watches root/<directory> for each of `directories`, and root for those
// that do not exist yet. Returns when a handler says stop (true) or the
// watch fails (false, `error` set).
bool watch_tree(const std::string& root, const std::vector<std::string>& directories, const WatchHandlers& handlers,
                std::string& error);
