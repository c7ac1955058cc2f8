// meter-sim: Modbus RTU energy meters on a pseudo-terminal or serial line,
// for tests and demonstrations of the data logger. See --help.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "line.h"
#include "meters.h"
#include "options.h"
#include "server.h"

namespace {

using meter_sim::Options;

// Files the simulator made and removes again at a clean exit.
class Traces {
 public:
  Traces(const Options& options, const std::string& device_path)
      : link_(options.link_path), pidfile_(options.pidfile), target_(device_path) {
    make_link();
    write_pidfile();
  }
  ~Traces() {
    if (!link_.empty() && read_link() == target_) {
      unlink(link_.c_str());
    }
    if (!pidfile_.empty()) {
      unlink(pidfile_.c_str());
    }
  }
  Traces(const Traces&) = delete;
  Traces& operator=(const Traces&) = delete;

 private:
  void make_link() const {
    if (link_.empty()) {
      return;
    }
    struct stat existing {};
    // A stale link from an earlier run is replaced; anything else is kept.
    if (lstat(link_.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode)) {
      unlink(link_.c_str());
    }
    if (symlink(target_.c_str(), link_.c_str()) != 0) {
      throw std::runtime_error("symlink " + link_ + ": " + std::strerror(errno));
    }
  }
  void write_pidfile() const {
    if (pidfile_.empty()) {
      return;
    }
    FILE* file = std::fopen(pidfile_.c_str(), "w");
    if (file == nullptr) {
      throw std::runtime_error("pidfile " + pidfile_ + ": " + std::strerror(errno));
    }
    std::fprintf(file, "%ld\n", static_cast<long>(getpid()));
    std::fclose(file);
  }
  std::string read_link() const {
    char target[4096];
    const ssize_t length = readlink(link_.c_str(), target, sizeof target);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
  }

  std::string link_;
  std::string pidfile_;
  std::string target_;
};

int serve(const Options& options) {
  meter_sim::install_signal_handlers();
  meter_sim::Line line(options);
  meter_sim::Meters meters(options.slaves);
  const Traces traces(options, line.path());
  // The first line of output is the contract with whoever started us: the
  // link and the pid file exist by the time it can be read.
  std::printf("%s\n", line.name().c_str());
  std::fflush(stdout);
  meter_sim::Server server(options, line, meters);
  server.run();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool help_shown = false;
  const auto options = meter_sim::parse_options(argc, argv, help_shown);
  if (!options) {
    return help_shown ? 0 : 2;
  }
  try {
    return serve(*options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "meter-sim: %s\n", error.what());
    return 1;
  }
}
