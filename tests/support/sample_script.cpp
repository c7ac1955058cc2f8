#include "support/sample_script.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

const char* const RECORD_CALL =
    "for arg in \"$@\"; do printf '%s|' \"$arg\"; done >> \"$0.calls\"\necho >> \"$0.calls\"\n";

int run_sample_script(const TempRoot& root, const std::string& name, const std::vector<std::string>& args,
                      const std::vector<std::string>& env) {
  ::mkdir(root.at("/bin").c_str(), 0755);
  std::string script = root.at("/opt/meterscribe/etc/") + name;
  root.write_file("/opt/meterscribe/etc/" + name, read_whole_file(std::string(MS_SOURCE_DIR) + "/etc/" + name), 0755);
  std::vector<std::string> env_text = {"METERSCRIBE_ROOT=" + root.path()};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    if (text.rfind("PATH=", 0) == 0) env_text.push_back("PATH=" + root.at("/bin") + ":" + text.substr(5));
    else if (text.rfind("METERSCRIBE_", 0) != 0 && text.rfind("MS_", 0) != 0) env_text.push_back(text);
  }
  env_text.insert(env_text.end(), env.begin(), env.end());  // later entries win in the shell
  std::vector<std::string> argv_text = {script};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (std::string& text : argv_text) argv.push_back(text.data());
  for (std::string& text : env_text) envp.push_back(text.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t child = fork();
  if (child == 0) {
    int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, 1);
    dup2(quiet, 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  int status = -1;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
