#include "server.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "crc16.h"

namespace meter_sim {
namespace {

volatile std::sig_atomic_t g_stop = 0;

// Silence after which the bytes collected so far count as one frame, for
// function codes whose length cannot be known from the first bytes.
constexpr int kFrameGapMs = 50;
// Requests are small; more than this without a frame end is noise.
constexpr std::size_t kMaxRequest = 512;
constexpr int kFloodEveryMs = 10;
constexpr std::size_t kFloodBytes = 64;

// The request length implied by its function code, or 0 when only the
// silence after it can tell.
std::size_t expected_length(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < 2) {
    return 0;
  }
  switch (bytes[1]) {
    case 1: case 2: case 3: case 4: case 5: case 6:
      return 8;
    case 15: case 16:
      return bytes.size() < 7 ? 0 : 9U + bytes[6];
    default:
      return 0;
  }
}

bool is_plain(const FaultPlan& plan) {
  return !plan.exception_code && !plan.bad_crc && plan.chunks <= 1 && plan.oversize == 0;
}

std::vector<std::uint8_t> exception_reply(const std::vector<std::uint8_t>& request, int code) {
  std::vector<std::uint8_t> reply{request[0], static_cast<std::uint8_t>(request[1] | 0x80),
                                  static_cast<std::uint8_t>(code)};
  const std::uint16_t crc = crc16(reply.data(), reply.size());
  reply.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  reply.push_back(static_cast<std::uint8_t>(crc >> 8));
  return reply;
}

int millis_since(std::chrono::steady_clock::time_point then) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - then)
                              .count());
}

void set_nonblocking(int fd, bool on) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) {
    fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
  }
}

void on_stop_signal(int /*signal_number*/) { g_stop = 1; }

}  // namespace

bool stop_requested() { return g_stop != 0; }

void install_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocked poll or write should return and see the flag.
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

Server::Server(const Options& options, Line& line, Meters& meters)
    : options_(options), line_(line), meters_(meters) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  capture_read_ = ends[0];
  capture_write_ = ends[1];
  set_nonblocking(capture_read_, true);
}

Server::~Server() {
  close(capture_read_);
  close(capture_write_);
}

std::uint32_t Server::seconds_running() const {
  return static_cast<std::uint32_t>(millis_since(started_) / 1000);
}

bool Server::should_stop() const {
  return stop_requested() ||
         (options_.exit_after_s > 0 && millis_since(started_) >= options_.exit_after_s * 1000);
}

void Server::run() {
  while (!should_stop()) {
    tick();
    int timeout = 100;
    if (!pending_.empty()) {
      timeout = std::max(0, kFrameGapMs - millis_since(last_byte_));
    }
    if (options_.flood) {
      timeout = std::min(timeout, kFloodEveryMs);
    }
    pollfd watch{line_.fd(), POLLIN, 0};
    const int ready = poll(&watch, 1, timeout);
    if (ready > 0 && (watch.revents & POLLIN) != 0) {
      receive();
    } else if (ready > 0) {
      // A hang-up with nobody on the other end: wait for someone to come.
      pause(100);
    }
    take_frames(!pending_.empty() && millis_since(last_byte_) >= kFrameGapMs);
  }
}

void Server::receive() {
  std::uint8_t buffer[256];
  const ssize_t count = read(line_.fd(), buffer, sizeof buffer);
  if (count > 0) {
    pending_.insert(pending_.end(), buffer, buffer + count);
    last_byte_ = Clock::now();
  } else if (count < 0 && errno == EIO) {
    pause(100);  // the pty's other side is closed just now
  }
  if (pending_.size() > kMaxRequest) {
    log("dropped noise", pending_);
    pending_.clear();
  }
}

// Serves every complete frame in `pending_`; after a gap, whatever is left
// is taken as one frame (its CRC decides whether it is one).
void Server::take_frames(bool gap_passed) {
  for (;;) {
    const std::size_t length = expected_length(pending_);
    if (length == 0 || pending_.size() < length) {
      break;
    }
    const Bytes frame(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
    serve(frame);
  }
  if (gap_passed && !pending_.empty()) {
    const Bytes frame = std::move(pending_);
    pending_.clear();
    serve(frame);
  }
}

void Server::serve(const Bytes& request) {
  if (!crc_matches(request.data(), request.size())) {
    log("ignored, bad CRC or cut frame", request);
    return;
  }
  const int address = request[0];
  if (meters_.mapping(address) == nullptr) {
    log("ignored, no such slave", request);
    return;
  }
  const auto found = options_.faults.find(address);
  const FaultPlan plan = found == options_.faults.end() ? FaultPlan{} : found->second;
  if (plan.silent) {
    log("ignored, silent slave", request);
    return;
  }
  log("answering", request);
  answer(request, address, plan);
}

void Server::answer(const Bytes& request, int address, const FaultPlan& plan) {
  pause(plan.delay_ms);
  if (should_stop()) {
    return;
  }
  meters_.update(seconds_running());
  modbus_mapping_t* map = meters_.mapping(address);
  modbus_set_slave(line_.context(), address);
  if (is_plain(plan)) {
    // The usual case: libmodbus writes the reply straight onto the line.
    if (modbus_reply(line_.context(), request.data(), static_cast<int>(request.size()), map) < 0) {
      std::fprintf(stderr, "meter-sim: reply failed: %s\n", modbus_strerror(errno));
    }
    return;
  }
  Bytes reply = plan.exception_code ? exception_reply(request, *plan.exception_code)
                                    : capture_reply(request, map);
  if (plan.bad_crc && !reply.empty()) {
    reply.back() = static_cast<std::uint8_t>(reply.back() ^ 0xFF);
  }
  if (plan.oversize > 0) {
    const std::size_t frame_length = reply.size();
    reply.resize(static_cast<std::size_t>(plan.oversize));
    for (std::size_t i = frame_length; i < reply.size(); ++i) {
      reply[i] = static_cast<std::uint8_t>(i - frame_length);
    }
  }
  deliver(reply, plan);
}

// Lets libmodbus compose the reply into a pipe instead of the line, so the
// faults can reshape the bytes before they are sent.
Server::Bytes Server::capture_reply(const Bytes& request, modbus_mapping_t* map) {
  modbus_t* context = line_.context();
  modbus_set_socket(context, capture_write_);
  const int rc = modbus_reply(context, request.data(), static_cast<int>(request.size()), map);
  modbus_set_socket(context, line_.fd());
  if (rc < 0) {
    std::fprintf(stderr, "meter-sim: reply failed: %s\n", modbus_strerror(errno));
  }
  Bytes reply(1024);
  const ssize_t count = read(capture_read_, reply.data(), reply.size());
  reply.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
  return reply;
}

void Server::deliver(const Bytes& reply, const FaultPlan& plan) {
  const std::size_t pieces = std::min<std::size_t>(static_cast<std::size_t>(plan.chunks),
                                                   std::max<std::size_t>(reply.size(), 1));
  for (std::size_t k = 0; k < pieces && !should_stop(); ++k) {
    if (k > 0) {
      pause(plan.chunk_gap_ms);
    }
    const std::size_t from = k * reply.size() / pieces;
    const std::size_t to = (k + 1) * reply.size() / pieces;
    write_all(reply.data() + from, to - from);
  }
}

void Server::write_all(const std::uint8_t* data, std::size_t length) {
  while (length > 0) {
    const ssize_t count = write(line_.fd(), data, length);
    if (count > 0) {
      data += count;
      length -= static_cast<std::size_t>(count);
    } else if (count < 0 && errno == EINTR && !should_stop()) {
      continue;
    } else {
      std::fprintf(stderr, "meter-sim: write: %s\n", std::strerror(errno));
      return;
    }
  }
}

// Sleeps without stopping the counters or the flood, and ends early on a signal.
void Server::pause(int milliseconds) {
  const auto from = Clock::now();
  while (!stop_requested()) {
    const int left = milliseconds - millis_since(from);
    if (left <= 0) {
      return;
    }
    poll(nullptr, 0, std::min(left, options_.flood ? kFloodEveryMs : 100));
    tick();
  }
}

void Server::tick() {
  meters_.update(seconds_running());
  if (options_.flood && millis_since(last_flood_) >= kFloodEveryMs) {
    flood();
    last_flood_ = Clock::now();
  }
}

// Writes filler without ever blocking: when nobody reads the line, the
// terminal's buffer fills up and the surplus is simply dropped.
void Server::flood() {
  std::uint8_t block[kFloodBytes];
  for (auto& byte : block) {
    byte = filler_++;
  }
  set_nonblocking(line_.fd(), true);
  const ssize_t ignored = write(line_.fd(), block, sizeof block);
  (void)ignored;
  set_nonblocking(line_.fd(), false);
}

void Server::log(const char* what, const Bytes& bytes) const {
  if (!options_.verbose) {
    return;
  }
  std::fprintf(stderr, "meter-sim: [%u.%03u] %s:", seconds_running(),
               static_cast<unsigned>(millis_since(started_) % 1000), what);
  for (const auto byte : bytes) {
    std::fprintf(stderr, " %02x", byte);
  }
  std::fputc('\n', stderr);
}

}  // namespace meter_sim
