// Servers that tests start on loopback (FTP, HTTP, InfluxDB, the node
// exporter): a free port, whether a port accepts connections, and the
// server itself as a child process of the test.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// A port of 127.0.0.1 that was free a moment ago; 0 when none was had.
int free_loopback_port();

// True when something accepts TCP connections on 127.0.0.1:port.
bool accepts_connections(int port);

class ServerProcess {
 public:
  // Runs argv[0] (a path) with argv, its standard output and error into
  // `log`. The server ends with the object, and with the test process even
  // when that dies before its destructors run.
  ServerProcess(std::vector<std::string> argv, std::string log);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // True once `ready` holds; false as soon as the server has ended, or
  // when `limit` (stretched by METERSCRIBE_TEST_SLOW) has passed.
  bool wait_ready(const std::function<bool()>& ready, std::chrono::milliseconds limit);
  // The same for a server that is ready once it listens on `port`.
  bool wait_listening(int port, std::chrono::milliseconds limit);
  // What the server wrote so far.
  std::string log() const;

 private:
  pid_t pid_ = -1;
  std::string log_;
};
