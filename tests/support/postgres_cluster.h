// A throwaway PostgreSQL 15 cluster for tests: initdb in a temp directory,
// the server on a free loopback port with its socket in that directory,
// stopped and removed with the object. As root the server runs as the
// postgres system user, since PostgreSQL refuses to run as root.
#pragma once

#include <memory>
#include <string>

#include "support/server_process.h"

class PostgresCluster {
 public:
  // False (with the reason in `why`) when PostgreSQL 15 is not installed.
  static bool available(std::string& why);

  PostgresCluster();
  ~PostgresCluster();
  PostgresCluster(const PostgresCluster&) = delete;
  PostgresCluster& operator=(const PostgresCluster&) = delete;

  // True once the server accepts connections; `log` says why not otherwise.
  bool started() const { return started_; }
  std::string log() const;
  int port() const { return port_; }

  // A libpq connection string for a database of this cluster.
  std::string conninfo(const std::string& database) const;
  // Runs SQL through psql (-At, fields split by '|'): its output, or
  // "psql failed: ..." with what it said.
  std::string query(const std::string& database, const std::string& sql) const;

 private:
  std::string directory_;
  int port_ = 0;
  std::unique_ptr<ServerProcess> server_;
  bool started_ = false;
};
