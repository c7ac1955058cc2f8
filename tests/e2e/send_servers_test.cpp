// The sample send script with the real curl against the servers gateways
// deliver to, each started by the test on loopback in the test root:
// vsftpd with explicit TLS and without, for a local user with a password,
// and nginx taking HTTP PUT behind basic authentication. logger is a
// stand-in that records its arguments. send runs in a mount namespace of
// its own in which the system's certificate directory holds one CA of the
// test's, so the machine's own store is neither used nor changed.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/reliability.h"
#include "support/sample_script.h"
#include "support/server_process.h"
#include "support/temp_root.h"
#include "sys/paths.h"

using namespace std::chrono_literals;

namespace {

constexpr const char* VSFTPD = "/usr/sbin/vsftpd";
constexpr const char* NGINX = "/usr/sbin/nginx";
constexpr const char* PASSWORD = "s3cret-pw";

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// A local user with a password for FTP logins, removed at the end (even
// while a session of it still ends).
class LocalUser {
 public:
  explicit LocalUser(const std::string& home) : name_("mssend" + std::to_string(getpid())) {
    made_ = shell("useradd -M -N -d '" + home + "' -s /bin/sh " + name_ + " && echo '" + name_ + ":" + PASSWORD +
                  "' | chpasswd && chown " + name_ + " '" + home + "'");
  }
  ~LocalUser() {
    if (!shell("userdel -f " + name_ + " 2>/dev/null")) { /* gone already */ }
  }
  LocalUser(const LocalUser&) = delete;
  LocalUser& operator=(const LocalUser&) = delete;

  bool made() const { return made_; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  bool made_ = false;
};

// FTPES_SYSTEM_CA: a server whose certificate comes from the CA of the
// test's system store, not from the CA of ca.pem.
enum class Kind { FTPES, FTPES_SYSTEM_CA, FTP, HTTP };

class SendServersTest : public TempRootTest {
 protected:
  void SetUp() override {
    // The FTP user's sessions must reach their directory inside the root.
    ::chmod(root.path().c_str(), 0755);
    ::mkdir(root.at("/srv").c_str(), 0755);
    ::mkdir(home.c_str(), 0755);
    ::mkdir(root.at("/srv/empty").c_str(), 0755);
    ::mkdir(root.at("/srv/nginx").c_str(), 0755);
    ::mkdir(root.at("/bin").c_str(), 0755);
    root.write_script("/bin/logger", RECORD_CALL);
    // Two throwaway CAs, each with a certificate for 127.0.0.1: the one
    // goes where an integrator puts it, beside the settings; the other is
    // the only CA of the system store that send sees.
    const std::string srv = root.at("/srv");
    ASSERT_TRUE(shell("cd '" + srv +
                      "' && exec 2>openssl.err && printf 'subjectAltName=IP:127.0.0.1\\n' > ext &&"
                      " for ca in ca system-ca; do openssl req -x509 -newkey rsa:2048 -nodes -keyout $ca.key"
                      " -out $ca.pem -days 2 -subj /CN=meterscribe-test-$ca && openssl req -newkey rsa:2048 -nodes"
                      " -keyout $ca-server.key -out server.csr -subj /CN=127.0.0.1 && openssl x509 -req -in server.csr"
                      " -CA $ca.pem -CAkey $ca.key -CAcreateserial -days 2 -extfile ext -out $ca-server.pem || exit;"
                      " done && mkdir system-certs && cp system-ca.pem system-certs/ca-certificates.crt &&"
                      " openssl rehash system-certs && printf 'meter:%s\\n' \"$(openssl passwd -apr1 " +
                      PASSWORD + ")\" > htpasswd"))
        << read_whole_file(srv + "/openssl.err");
    root.write_file("/opt/meterscribe/etc/ca.pem", read_whole_file(srv + "/ca.pem"));
    install_sample_script(root, "send");
    // Beside the logs: what a name read as a pattern could reach, a FIFO
    // that blocks whoever opens it and a link to a file of root's alone.
    const std::string dir = root.at(VOLATILE_LOG_DIR);
    root.write_file("/srv/root-only", "root's alone\n", 0600);
    ASSERT_EQ(mkfifo((dir + "/ac").c_str(), 0644), 0);
    ASSERT_EQ(symlink(root.at("/srv/root-only").c_str(), (dir + "/ab").c_str()), 0);
  }

  // Runs send on the file as the daemon does, in a mount namespace whose
  // system certificate directory is the test's; its standard error goes
  // into `errors`.
  int send(const std::string& path, std::string& errors) {
    const char* in_namespace = "mount --bind \"$1\" /etc/ssl/certs && exec \"$2\" \"$3\"";
    return run_by_hand(root, "/opt/meterscribe/etc",
                       std::string("exec unshare --mount sh -c '") + in_namespace + "' sh \"$@\"",
                       {root.at("/srv/system-certs"), root.at("/opt/meterscribe/etc/send"), path}, {}, &errors);
  }

  // Starts the server of the kind on `port`; null (and `missing` set) when
  // its binary is not installed.
  std::unique_ptr<ServerProcess> start(Kind kind, int port, std::string& missing) {
    const char* binary = kind == Kind::HTTP ? NGINX : VSFTPD;
    if (access(binary, X_OK) != 0) {
      missing += std::string(" ") + binary;
      return nullptr;
    }
    const std::string srv = root.at("/srv");
    if (kind == Kind::HTTP) {
      root.write_file("/srv/nginx/nginx.conf", filled(R"(user root root;
worker_processes 1;
pid @SRV@/nginx/nginx.pid;
events { worker_connections 16; }
http {
  access_log off;
  client_body_temp_path @SRV@/nginx/body;
  proxy_temp_path @SRV@/nginx/proxy;
  fastcgi_temp_path @SRV@/nginx/fastcgi;
  uwsgi_temp_path @SRV@/nginx/uwsgi;
  scgi_temp_path @SRV@/nginx/scgi;
  server {
    listen 127.0.0.1:@PORT@;
    root @SRV@/home;
    location / {
      dav_methods PUT;
      auth_basic meterscribe;
      auth_basic_user_file @SRV@/htpasswd;
    }
  }
}
)", port));
      return std::make_unique<ServerProcess>(
          std::vector<std::string>{NGINX, "-p", srv + "/nginx", "-e", srv + "/nginx/error.log", "-c",
                                   srv + "/nginx/nginx.conf", "-g", "daemon off;"},
          srv + "/nginx/output");
    }
    root.write_file("/srv/vsftpd.conf", filled(R"(listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=@PORT@
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_root=@SRV@/home
pam_service_name=vsftpd
seccomp_sandbox=NO
secure_chroot_dir=@SRV@/empty
pasv_address=127.0.0.1
)", port) + (kind == Kind::FTPES || kind == Kind::FTPES_SYSTEM_CA ? filled(R"(ssl_enable=YES
force_local_logins_ssl=YES
force_local_data_ssl=YES
rsa_cert_file=@SRV@/@CA@-server.pem
rsa_private_key_file=@SRV@/@CA@-server.key
)", port, kind == Kind::FTPES ? "ca" : "system-ca") : "ssl_enable=NO\n"));
    return std::make_unique<ServerProcess>(std::vector<std::string>{VSFTPD, srv + "/vsftpd.conf"}, srv + "/vsftpd.out");
  }

  // A configuration text with @SRV@, @PORT@ and @CA@ filled in.
  std::string filled(std::string text, int port, const std::string& ca = "") const {
    for (std::size_t at; (at = text.find("@SRV@")) != std::string::npos;) text.replace(at, 5, root.at("/srv"));
    for (std::size_t at; (at = text.find("@PORT@")) != std::string::npos;) text.replace(at, 6, std::to_string(port));
    for (std::size_t at; (at = text.find("@CA@")) != std::string::npos;) text.replace(at, 4, ca);
    return text;
  }

  const std::string home = root.at("/srv/home");  // where the servers write
};

// Each file is delivered under its own name, braces and brackets included,
// and nothing else reaches the server: not the FIFO or the link beside it
// that the name, read as a pattern, would name. With ca.pem beside the
// settings its CA is the only one trusted.
TEST_F(SendServersTest, DeliveredAsItselfAndRemovedOrOneReportedLineAndTheFileKept) {
  struct Case {
    Kind kind;
    const char* what;
    const char* name;  // "": a log file name of its own
    const char* password;
    bool ca_pem;
    bool closed_port;
    int curl_exit;      // 0: delivered
    const char* error;  // in curl's message
  } cases[] = {
      {Kind::FTPES, "FTPES, delivered", "", PASSWORD, true, false, 0, ""},
      {Kind::FTPES, "FTPES, wrong password", "", "wrong", true, false, 67, "curl: (67) Access denied: 530"},
      {Kind::FTPES, "FTPES, closed port", "", PASSWORD, true, true, 7, "Couldn't connect to server"},
      {Kind::FTPES_SYSTEM_CA, "FTPES, CA in the system store, no ca.pem", "", PASSWORD, false, false, 0, ""},
      {Kind::FTPES_SYSTEM_CA, "FTPES, CA in the system store but not in ca.pem", "", PASSWORD, true, false, 60,
       "curl: (60) SSL certificate problem: unable to get local issuer certificate"},
      {Kind::FTP, "FTP, delivered", "", PASSWORD, true, false, 0, ""},
      {Kind::FTP, "FTP, braces", "a{b,c}", PASSWORD, true, false, 0, ""},
      {Kind::FTP, "FTP, open bracket", "log[1", PASSWORD, true, false, 0, ""},
      {Kind::FTP, "FTP, wrong password", "", "wrong", true, false, 67, "curl: (67) Access denied: 530"},
      {Kind::FTP, "FTP, closed port", "", PASSWORD, true, true, 7, "Couldn't connect to server"},
      {Kind::HTTP, "HTTP PUT, delivered", "", PASSWORD, true, false, 0, ""},
      {Kind::HTTP, "HTTP PUT, braces", "a{b,c}", PASSWORD, true, false, 0, ""},
      {Kind::HTTP, "HTTP PUT, open bracket", "log[1", PASSWORD, true, false, 0, ""},
      {Kind::HTTP, "HTTP PUT, wrong password", "", "wrong", true, false, 22,
       "curl: (22) The requested URL returned error: 401"},
      {Kind::HTTP, "HTTP PUT, closed port", "", PASSWORD, true, true, 7, "Couldn't connect to server"},
  };
  LocalUser user(home);
  ASSERT_TRUE(user.made()) << "useradd/chpasswd failed: the FTP cases need root";
  const std::string ca_pem = read_whole_file(root.at("/opt/meterscribe/etc/ca.pem"));
  std::string missing;
  std::unique_ptr<ServerProcess> server;
  int port = 0;
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (number == 0 || c.kind != cases[number - 1].kind) {
      server.reset();
      port = free_loopback_port();
      server = start(c.kind, port, missing);
      ASSERT_TRUE(!server || server->wait_listening(port, 10s)) << server->log();
    }
    ++number;
    if (!server) continue;
    const int to = c.closed_port ? free_loopback_port() : port;
    const char* scheme = c.kind == Kind::HTTP ? "http" : "ftp";
    root.write_settings(std::string("MOD_METERSCRIBE_REMOTE_URL=") + scheme + "://127.0.0.1:" + std::to_string(to) +
                        "/\nMOD_METERSCRIBE_USERNAME=" + (c.kind == Kind::HTTP ? "meter" : user.name()) +
                        "\nMOD_METERSCRIBE_PASSWORD=" + c.password + "\nMOD_METERSCRIBE_FTPES_ENABLED=" +
                        (c.kind == Kind::FTPES || c.kind == Kind::FTPES_SYSTEM_CA ? "1" : "0") + "\n");
    if (c.ca_pem) root.write_file("/opt/meterscribe/etc/ca.pem", ca_pem);
    else unlink(root.at("/opt/meterscribe/etc/ca.pem").c_str());
    const std::string name = c.name[0] != '\0' ? c.name : "log-2024-01-01-00-00-" + std::to_string(10 + number);
    const std::string path = root.at(VOLATILE_LOG_DIR) + "/" + name;
    const std::string content = "m1:2024-01-01-00-00-00:01 03 02 00 2a b8 44 \nm2:2024-01-01-00-00-01:02 03 02 00 2b\n";
    write_whole_file(path, content);
    unlink(root.at("/bin/logger.calls").c_str());
    std::vector<std::string> delivered = directory_names(home);

    std::string errors;
    int status = send(path, errors);
    std::string logged = root.read_file("/bin/logger.calls");
    if (c.curl_exit == 0) {
      EXPECT_EQ(status, 0) << errors;
      EXPECT_EQ(read_whole_file(home + "/" + name), content);
      EXPECT_NE(access(path.c_str(), F_OK), 0) << "delivered but not removed";
      EXPECT_EQ(logged, "");
      EXPECT_EQ(errors, "");
      if (std::find(delivered.begin(), delivered.end(), name) == delivered.end()) delivered.push_back(name);
      std::sort(delivered.begin(), delivered.end());
      EXPECT_EQ(directory_names(home), delivered) << "something besides the file was delivered";
      continue;
    }
    EXPECT_NE(status, 0);
    EXPECT_EQ(read_whole_file(path), content) << "not delivered, yet not kept";
    EXPECT_EQ(directory_names(home), delivered) << "something was delivered";
    const std::string tag = "-t|meterscribe-send|-p|daemon.err|--|";
    std::string line = "could not deliver " + path + ": curl exit " + std::to_string(c.curl_exit) + ": ";
    EXPECT_EQ(logged.substr(0, tag.size() + line.size()), tag + line) << logged;
    EXPECT_NE(logged.find(c.error, tag.size() + line.size()), std::string::npos) << logged;
    ASSERT_EQ(complete_lines(logged).size(), 1u) << logged;
    EXPECT_EQ(errors, "send: " + logged.substr(tag.size(), logged.size() - tag.size() - 2) + "\n")
        << "standard error does not say what the log says";
  }
  server.reset();
  if (!missing.empty()) GTEST_SKIP() << "not installed (scripts/deps.sh installs them):" << missing;
}

}  // namespace
