#include "support/postgres_cluster.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "support/temp_root.h"

namespace {

const std::string BIN = "/usr/lib/postgresql/15/bin/";

// As root: the postgres user's ids, to hand the cluster to.
bool postgres_user(uid_t& uid, gid_t& gid) {
  const passwd* entry = getpwnam("postgres");
  if (entry == nullptr) return false;
  uid = entry->pw_uid;
  gid = entry->pw_gid;
  return true;
}

// The command prefix that drops root for the server's programs.
std::vector<std::string> as_server_user() {
  if (geteuid() != 0) return {};
  return {"/usr/bin/setpriv", "--reuid=postgres", "--regid=postgres", "--clear-groups"};
}

std::string shell_words(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) line += word + " ";
  return line;
}

}  // namespace

bool PostgresCluster::available(std::string& why) {
  uid_t uid;
  gid_t gid;
  if (access((BIN + "initdb").c_str(), X_OK) != 0 || access((BIN + "postgres").c_str(), X_OK) != 0 ||
      access((BIN + "psql").c_str(), X_OK) != 0)
    return why = "PostgreSQL 15 is not installed (" + BIN + "initdb, postgres, psql)", false;
  if (geteuid() == 0 && !postgres_user(uid, gid)) return why = "no postgres system user to run the server as", false;
  return true;
}

PostgresCluster::PostgresCluster() {
  char pattern[] = "/tmp/ms-postgres.XXXXXX";
  if (mkdtemp(pattern) == nullptr) return;
  directory_ = pattern;
  uid_t uid;
  gid_t gid;
  if (geteuid() == 0 && (!postgres_user(uid, gid) || chown(directory_.c_str(), uid, gid) != 0)) return;
  std::string initdb = shell_words(as_server_user()) + BIN + "initdb -D " + directory_ +
                       "/data -A trust -U postgres -E UTF8 --no-sync >" + directory_ + "/initdb.log 2>&1";
  if (std::system(initdb.c_str()) != 0) return;
  port_ = free_loopback_port();
  std::vector<std::string> argv = as_server_user();
  // Durability is not what these tests are about: no fsync keeps them fast.
  for (const std::string& word :
       {BIN + "postgres", std::string("-D"), directory_ + "/data", std::string("-p"), std::to_string(port_),
        std::string("-k"), directory_, std::string("-c"), std::string("listen_addresses=127.0.0.1"),
        std::string("-c"), std::string("fsync=off"), std::string("-c"), std::string("full_page_writes=off")})
    argv.push_back(word);
  server_ = std::make_unique<ServerProcess>(argv, directory_ + "/server.log");
  started_ = server_->wait_listening(port_, std::chrono::seconds(30));
  // The server listens before it takes sessions ("the database system is
  // starting up"): it is started once a query has an answer.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (started_ && query("postgres", "SELECT 1") != "1\n") {
    if (std::chrono::steady_clock::now() > deadline) started_ = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

PostgresCluster::~PostgresCluster() {
  server_.reset();  // waits for the server to end
  if (!directory_.empty()) remove_tree(directory_);
}

std::string PostgresCluster::log() const {
  return read_whole_file(directory_ + "/initdb.log") + (server_ ? server_->log() : std::string());
}

std::string PostgresCluster::conninfo(const std::string& database) const {
  return "host=127.0.0.1 port=" + std::to_string(port_) + " user=postgres dbname=" + database;
}

std::string PostgresCluster::query(const std::string& database, const std::string& sql) const {
  std::string sql_file = directory_ + "/query.sql";
  write_whole_file(sql_file, sql);
  std::string command = "PGOPTIONS='-c client_min_messages=warning' " + BIN + "psql -X -q -At -v ON_ERROR_STOP=1 \"" + conninfo(database) + "\" -f " + sql_file +
                        " >" + directory_ + "/query.out 2>&1";
  int status = std::system(command.c_str());
  std::string out = read_whole_file(directory_ + "/query.out");
  return status == 0 ? out : "psql failed: " + out;
}
