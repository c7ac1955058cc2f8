#include "support/sample_script.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <thread>

extern char** environ;

const char* const RECORD_CALL =
    "for arg in \"$@\"; do printf '%s|' \"$arg\"; done >> \"$0.calls\"\necho >> \"$0.calls\"\n";

const char* const SCRIPT_FUNCTIONS = "script-functions.sh";

namespace {

std::string etc_source(const std::string& name) { return std::string(MS_SOURCE_DIR) + "/etc/" + name; }

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

// The environment of a script run in the root: the root's /bin first in
// PATH, the root as METERSCRIBE_ROOT, the test's own METERSCRIBE_* and MS_*
// left out, then `env`, whose entries win in the shell.
std::vector<std::string> script_environment(const TempRoot& root, const std::vector<std::string>& env) {
  std::vector<std::string> env_text = {"METERSCRIBE_ROOT=" + root.path()};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    if (text.rfind("PATH=", 0) == 0) env_text.push_back("PATH=" + root.at("/bin") + ":" + text.substr(5));
    else if (text.rfind("METERSCRIBE_", 0) != 0 && text.rfind("MS_", 0) != 0) env_text.push_back(text);
  }
  env_text.insert(env_text.end(), env.begin(), env.end());
  return env_text;
}

// A script that has not ended by then hangs (on a FIFO, say): it and
// everything it started are killed, so the case fails instead of the suite.
constexpr auto HANG_LIMIT = std::chrono::seconds(60);

// Waits for the child; past HANG_LIMIT its process group is killed.
int wait_bounded(pid_t child) {
  const auto limit = std::chrono::steady_clock::now() + HANG_LIMIT;
  int status = -1;
  pid_t got;
  while ((got = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (got == 0) {
    kill(-child, SIGKILL);
    waitpid(child, &status, 0);
    return -1;
  }
  return got == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs argv with the environment, in the directory `cwd` unless that is
// empty, its standard output discarded and its standard error too, or
// collected into *errors; the exit status, -1 when it did not exit.
int run_quietly(std::vector<std::string> argv_text, std::vector<std::string> env_text, const std::string& cwd,
                std::string* errors) {
  std::vector<char*> argv = pointers(argv_text);
  std::vector<char*> envp = pointers(env_text);
  char error_path[] = "/tmp/ms-script-stderr-XXXXXX";
  int error_fd = errors != nullptr ? mkstemp(error_path) : -1;
  if (error_fd >= 0) unlink(error_path);
  pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);
    int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, 1);
    dup2(error_fd >= 0 ? error_fd : quiet, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  int status = wait_bounded(child);
  if (error_fd >= 0) {
    errors->clear();
    char buffer[4096];
    for (ssize_t got; (got = pread(error_fd, buffer, sizeof buffer, static_cast<off_t>(errors->size()))) > 0;)
      errors->append(buffer, static_cast<std::size_t>(got));
    close(error_fd);
  }
  return status;
}

}  // namespace

void install_script_functions(const TempRoot& root, const std::string& dir) {
  root.write_file(dir + "/" + SCRIPT_FUNCTIONS, read_whole_file(etc_source(SCRIPT_FUNCTIONS)));
}

void install_sample_script(const TempRoot& root, const std::string& name, const std::string& dir,
                           bool with_functions) {
  ::mkdir(root.at(dir).c_str(), 0755);
  root.write_file(dir + "/" + name, read_whole_file(etc_source(name)), 0755);
  if (with_functions) install_script_functions(root, dir);
}

int run_sample_script(const TempRoot& root, const std::string& name, const std::vector<std::string>& args,
                      const std::vector<std::string>& env, std::string* errors) {
  ::mkdir(root.at("/bin").c_str(), 0755);
  install_sample_script(root, name);
  std::vector<std::string> argv_text = {root.at("/opt/meterscribe/etc/") + name};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  return run_quietly(argv_text, script_environment(root, env), "", errors);
}

int run_by_hand(const TempRoot& root, const std::string& dir, const std::string& command_line,
                const std::vector<std::string>& args, const std::vector<std::string>& env, std::string* errors) {
  ::mkdir(root.at("/bin").c_str(), 0755);
  std::vector<std::string> argv_text = {"/bin/sh", "-c", command_line, "sh"};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  return run_quietly(argv_text, script_environment(root, env), root.at(dir), errors);
}

std::string with_script_functions(const std::string& command_line, const std::vector<std::string>& args) {
  int output[2];
  if (pipe(output) != 0) return "<no pipe>";
  std::vector<std::string> argv_text = {"/bin/sh", "-c", ". \"$0\" && " + command_line, etc_source(SCRIPT_FUNCTIONS)};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv = pointers(argv_text);
  pid_t child = fork();
  if (child == 0) {
    dup2(output[1], 1);
    close(output[0]);
    close(output[1]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(output[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = read(output[0], buffer, sizeof buffer)) != 0;) {
    if (got > 0) text.append(buffer, static_cast<std::size_t>(got));
    else if (errno != EINTR) break;
  }
  close(output[0]);
  waitpid(child, nullptr, 0);
  return text;
}
