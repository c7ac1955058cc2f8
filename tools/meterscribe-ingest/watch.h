// Watching the delivered-files tree: a file is taken once the server has
// closed it after writing (IN_CLOSE_WRITE) or renamed it into place
// (IN_MOVED_TO), never while it is still arriving. A file that is not done
// with is taken again later without an event: when it may have settled, or
// after a back-off when it failed (5 s, doubled each time, at most 10 min).
#pragma once

#include <functional>
#include <string>
#include <vector>

// What is to become of a file after the handler took it.
enum class FileNext {
  done,   // nothing more to do with it
  again,  // take it again after `wait_s` (it may have settled by then)
  retry,  // it failed: take it again after the back-off
  stop,   // stop the watch
};

struct FileVerdict {
  FileNext next;
  unsigned wait_s = 0;  // for FileNext::again
};

// The first wait after a failure, and the longest.
constexpr unsigned RETRY_FIRST_S = 5;
constexpr unsigned RETRY_LONGEST_S = 600;

// The wait after a failure that followed a wait of `previous_s` (0: the
// first failure).
unsigned retry_after(unsigned previous_s);

struct WatchHandlers {
  // Takes the log file `name` of gateway `gateway` (an index into the
  // directories).
  std::function<FileVerdict(std::size_t gateway, const std::string& name)> file;
  // The log names of a gateway's directory in the order to take them: the
  // whole directory is looked at when it is first watched (it may have
  // just appeared) and when events were lost.
  std::function<std::vector<std::string>(std::size_t gateway)> names;
};

// Watches root/<directory> for each of `directories`, and root for those
// that do not exist yet. Returns when a handler says stop (true) or the
// watch fails (false, `error` set).
bool watch_tree(const std::string& root, const std::vector<std::string>& directories, const WatchHandlers& handlers,
                std::string& error);
