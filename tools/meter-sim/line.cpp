#include "line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "options.h"

namespace meter_sim {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string relative_to_dev(const std::string& path) {
  constexpr std::string_view kDev = "/dev/";
  return path.starts_with(kDev) ? path.substr(kDev.size()) : path;
}

void make_raw(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) {
    fail("tcgetattr");
  }
  cfmakeraw(&settings);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) {
    fail("tcsetattr");
  }
}

void make_blocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    fail("fcntl");
  }
}

// libmodbus waits its response timeout before some exception replies, meant
// for a master's line; a simulated meter should not stall for that.
void shorten_timeouts(modbus_t* context) { modbus_set_response_timeout(context, 0, 1000); }

}  // namespace

Line::Line(const Options& options) {
  if (options.device.empty()) {
    open_pty();
  } else {
    open_device(options);
  }
  shorten_timeouts(context_);
}

Line::~Line() {
  if (own_device_) {
    modbus_close(context_);
  } else if (context_ != nullptr) {
    // The context never opened anything itself; the descriptors are ours.
    modbus_set_socket(context_, -1);
  }
  if (context_ != nullptr) {
    modbus_free(context_);
  }
  if (!own_device_ && fd_ >= 0) {
    close(fd_);
  }
  if (slave_keeper_ >= 0) {
    close(slave_keeper_);
  }
}

void Line::open_pty() {
  fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0) {
    fail("posix_openpt");
  }
  char slave_path[128];
  if (ptsname_r(fd_, slave_path, sizeof slave_path) != 0) {
    fail("ptsname");
  }
  path_ = slave_path;
  name_ = relative_to_dev(path_);
  // Held open for our whole life: with no slave open, the master's reads fail
  // with EIO and poll reports a hang-up, and a master that closes and reopens
  // the line would otherwise meet a hung-up terminal.
  slave_keeper_ = open(slave_path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_keeper_ < 0) {
    fail(std::string("open ") + slave_path);
  }
  make_raw(slave_keeper_);
  // The name given here is never opened: libmodbus only ever gets our master.
  context_ = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
  if (context_ == nullptr || modbus_set_socket(context_, fd_) != 0) {
    fail("modbus_new_rtu");
  }
}

void Line::open_device(const Options& options) {
  path_ = options.device;
  name_ = relative_to_dev(path_);
  context_ = modbus_new_rtu(path_.c_str(), options.baud, options.parity, 8, 1);
  if (context_ == nullptr) {
    fail("modbus_new_rtu");
  }
  if (modbus_connect(context_) != 0) {
    const std::string reason = modbus_strerror(errno);
    modbus_free(context_);
    context_ = nullptr;
    throw std::runtime_error("cannot open " + path_ + ": " + reason);
  }
  own_device_ = true;
  fd_ = modbus_get_socket(context_);
  // Replies are written whole; reads are guarded by poll anyway.
  make_blocking(fd_);
}

}  // namespace meter_sim
