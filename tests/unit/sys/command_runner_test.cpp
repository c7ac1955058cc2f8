#include "sys/command_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_root.h"
#include "sys/command_runner_internal.h"
#include "sys/paths.h"

namespace {

int open_descriptor_count() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count - 3;  // ".", ".." and the listing's own descriptor
}

// A null-ended argument list for the runners.
std::vector<const char*> arg_list(const std::vector<std::string>& args) {
  std::vector<const char*> list;
  for (const std::string& arg : args) list.push_back(arg.c_str());
  list.push_back(nullptr);
  return list;
}

int shell_command(const std::string& line) { return run_command("/bin/sh", arg_list({"-c", line}).data()); }

int shell_capture(const std::string& line, const char** text, const std::string& input = "") {
  return run_shell_capture(input, text, "/bin/sh", arg_list({"-c", line}).data());
}

// Runs `line` with its standard output in `file`, through child_redirect.
int shell_command_into(const std::string& file, const std::string& line) {
  child_redirect.out_fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  return shell_command(line);
}

using CommandRunnerTest = TempRootTest;

TEST_F(CommandRunnerTest, ResultIsTheWaitStatus) {
  root.write_file("/not-executable", "#!/bin/sh\nexit 0\n", 0644);
  struct Case {
    std::string line;
    int status;
  };
  const std::vector<Case> cases = {
      {"exit 0", 0},
      {"exit 3", 768},
      {"exec " + root.at("/missing-program"), 127 * 256},  // the shell's own verdict
      {"kill -9 $$", 9},
  };
  const char* text = nullptr;
  for (const Case& c : cases) {
    EXPECT_EQ(shell_command(c.line), c.status) << c.line;
    EXPECT_EQ(shell_capture(c.line, &text), c.status) << c.line;
    EXPECT_EQ(text, capture_buffer);
    EXPECT_EQ(run_shell_line(c.line.c_str()), c.status) << c.line;
  }
  // A program that cannot be executed at all ends its child with code 1.
  for (const std::string& program : {root.at("/missing-program"), root.at("/not-executable")}) {
    const std::array<const char*, 1> none{nullptr};
    EXPECT_EQ(run_command(program.c_str(), none.data()), 256) << program;
    EXPECT_EQ(run_shell_capture("", &text, program.c_str(), none.data()), 256) << program;
  }
}

TEST_F(CommandRunnerTest, PassesAtMost62ArgumentsAfterTheProgramName) {
  root.write_script("/args", "printf '%s\\n' \"$#\" \"$@\" > " + root.at("/args.out") + "\n");
  const std::string script = root.at("/args");
  std::vector<std::string> many;
  std::string first_62;
  for (int i = 1; i <= 70; ++i) {
    many.push_back("a" + std::to_string(i));
    if (i <= 62) first_62 += "a" + std::to_string(i) + "\n";
  }
  EXPECT_EQ(run_command(script.c_str(), arg_list(many).data()), 0);
  EXPECT_EQ(root.read_file("/args.out"), "62\n" + first_62);

  const char* text = nullptr;
  EXPECT_EQ(run_shell_capture("", &text, script.c_str(), arg_list(many).data()), 0);
  EXPECT_EQ(root.read_file("/args.out"), "62\n" + first_62);

  // The list ends at its first null entry, even when that is the first.
  const std::array<const char*, 3> leading_null{nullptr, "ignored", nullptr};
  EXPECT_EQ(run_command(script.c_str(), leading_null.data()), 0);
  EXPECT_EQ(root.read_file("/args.out"), "0\n");
}

TEST_F(CommandRunnerTest, RunCommandChildHasAllStreamsOnDevNull) {
  const std::string out = root.at("/streams");
  // Asked from a subshell so that the shell's own streams are the ones named.
  EXPECT_EQ(shell_command("s=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2); echo \"$s\" > " + out), 0);
  EXPECT_EQ(read_whole_file(out), "/dev/null\n/dev/null\n/dev/null\n");
}

TEST_F(CommandRunnerTest, RedirectServesOneChildAndIsReleased) {
  const std::string out = root.at("/redirected");
  EXPECT_EQ(shell_command_into(out, "echo first"), 0);
  const int released = child_redirect.out_fd;
  EXPECT_EQ(released, -1);
  EXPECT_EQ(child_redirect.in_fd, -1);
  EXPECT_EQ(child_redirect.err_fd, -1);
  EXPECT_EQ(read_whole_file(out), "first\n");
  // The next child is back on /dev/null: the file keeps its text.
  EXPECT_EQ(shell_command("echo second"), 0);
  EXPECT_EQ(read_whole_file(out), "first\n");
}

TEST_F(CommandRunnerTest, ChildSeesOnlyDescriptorsZeroToTwo) {
  // Descriptors the daemon holds without close-on-exec (serial port, logs).
  std::vector<int> held;
  for (int i = 0; i < 4; ++i) held.push_back(open("/dev/null", O_RDONLY));
  std::array<int, 2> plain_pipe{};
  ASSERT_EQ(pipe(plain_pipe.data()), 0);
  held.insert(held.end(), plain_pipe.begin(), plain_pipe.end());
  held.push_back(dup2(held[0], 200));

  // "; true" keeps the shell alive beside ls, so /proc/$$ is the shell.
  const std::string list_fds = "ls /proc/$$/fd; true";
  EXPECT_EQ(shell_command_into(root.at("/fds"), list_fds), 0);
  EXPECT_EQ(root.read_file("/fds"), "0\n1\n2\n");
  const char* text = nullptr;
  EXPECT_EQ(shell_capture(list_fds, &text), 0);
  EXPECT_STREQ(text, "0\n1\n2\n");

  for (int fd : held) close(fd);
}

TEST_F(CommandRunnerTest, CaptureCollectsOutputErrorAndFeedsInput) {
  const char* text = nullptr;
  EXPECT_EQ(shell_capture("printf out; printf err >&2; cat", &text, "in"), 0);
  EXPECT_STREQ(text, "outerrin");
  // A run that collects nothing leaves the earlier text in place.
  EXPECT_EQ(shell_capture("exit 2", &text), 512);
  EXPECT_STREQ(text, "outerrin");
}

// The bytes of a long output, with a period prime to 1024 so that every
// block of the buffer differs from the others.
std::string numbered_output(std::size_t length) {
  static const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789_";
  std::string text;
  for (std::size_t i = 0; i < length; ++i) text += alphabet[i % alphabet.size()];
  return text;
}

TEST_F(CommandRunnerTest, CaptureBufferWrapsAfter1024Bytes) {
  struct Case {
    std::size_t written;
    std::size_t kept_from;
    std::size_t kept_length;
  };
  // On reaching 1024 bytes the last byte gives way to the NUL and the next
  // read starts at the front again; the text is what follows the last wrap.
  const std::vector<Case> cases = {
      {10, 0, 10}, {1023, 0, 1023}, {1024, 0, 1023}, {1500, 1024, 476}, {2048, 1024, 1023}};
  for (const Case& c : cases) {
    const std::string output = numbered_output(c.written);
    root.write_file("/output", output);
    // The loop stops at the child's end without draining the pipe, so the
    // child waits (up to 30 s) until its parent has read every byte: the
    // parent's read count in /proc shows that. Closing the output first
    // lets the parent see end of file and settle into its wait.
    const std::string rchar = "$(sed -n 's/^rchar: //p' /proc/$PPID/io)";
    const std::string line = "before=" + rchar + "; [ -n \"$before\" ] || exit 9; cat " + root.at("/output") + "; exec >&- 2>&-; i=0; " +
                             "while [ " + rchar + " -lt $((before + " + std::to_string(c.written) +
                             ")) ] && [ $i -lt 3000 ]; do sleep 0.01; i=$((i + 1)); done";
    const char* text = nullptr;
    EXPECT_EQ(shell_capture(line, &text), 0) << c.written;
    EXPECT_EQ(std::string(text), output.substr(c.kept_from, c.kept_length)) << c.written;
  }
}

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

TEST_F(CommandRunnerTest, CaptureWaitsWithoutSpinningOnceOutputHasEnded) {
  // A script that closes its output and works on: the parent must sleep in
  // its wait, not spin. Spinning would cost about the second of CPU the
  // child sleeps; waiting costs next to nothing. A busy runner can only
  // make a spinning parent look better, never a waiting one worse.
  const char* text = nullptr;
  const double cpu_before = thread_cpu_seconds();
  EXPECT_EQ(shell_capture("echo done; exec >&- 2>&-; sleep 1", &text), 0);
  EXPECT_LT(thread_cpu_seconds() - cpu_before, 0.5);
  EXPECT_STREQ(text, "done\n");
}

// Holds the parent in fork until its child has ended, so the runner's first
// look finds the child gone. waitid with WNOWAIT leaves the status for it.
bool hold_parent_until_child_ends = false;
void wait_for_any_child_end() {
  if (!hold_parent_until_child_ends) return;
  siginfo_t info{};
  waitid(P_ALL, 0, &info, WEXITED | WNOWAIT);
}

TEST_F(CommandRunnerTest, ChildThatEndsBeforeTheFirstLook) {
  static const bool registered = pthread_atfork(nullptr, wait_for_any_child_end, nullptr) == 0;
  ASSERT_TRUE(registered);
  const int descriptors = open_descriptor_count();
  const char* text = nullptr;
  hold_parent_until_child_ends = true;
  const int status = shell_capture("exit 4", &text, "input that is never written");
  hold_parent_until_child_ends = false;
  EXPECT_EQ(status, 1024);
  EXPECT_EQ(open_descriptor_count(), descriptors);
}

TEST_F(CommandRunnerTest, ComposesOneQuotedWordPerText) {
  struct Case {
    std::vector<const char*> words;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{"/opt/s", "a b", "reason"}, "'/opt/s' 'a b' 'reason'"},
      {{"it's"}, "'it'\\''s'"},
      {{"", "''"}, "'' ''\\'''\\'''"},
      {{}, ""},
  };
  for (const Case& c : cases) {
    std::array<char, 64> out{};
    EXPECT_TRUE(compose_shell_command(out, c.words)) << c.line;
    EXPECT_STREQ(out.data(), c.line.c_str());
  }
  // "'abc'" needs 6 bytes with its NUL; one fewer is refused, never cut.
  const std::array<const char*, 1> word{"abc"};
  std::array<char, 6> exact{};
  EXPECT_TRUE(compose_shell_command(exact, word));
  EXPECT_STREQ(exact.data(), "'abc'");
  std::array<char, 5> short_by_one{'x', 'x', 'x', 'x', 'x'};
  EXPECT_FALSE(compose_shell_command(short_by_one, word));
  EXPECT_STREQ(short_by_one.data(), "");
  const std::array<const char*, 2> with_null{"a", nullptr};
  EXPECT_FALSE(compose_shell_command(exact, with_null));
}

TEST_F(CommandRunnerTest, RemoveFileGetsEveryNameAsOneUnchangedArgument) {
  const std::string record = root.at("/removed");
  root.write_script(REMOVE_SCRIPT, "{ printf '%s\\n' \"$#\"; for a; do printf '[%s]\\n' \"$a\"; done; } > " +
                                       record + "\n");
  const std::string marker = root.at("/marker");
  const std::vector<std::string> names = {
      root.at("/var/meterscribe/voldata/log with blanks"),
      "/tmp/a;touch " + marker + ";b",
      "/tmp/$(touch " + marker + ")",
      "/tmp/`touch " + marker + "`",
      "/tmp/it's \"quoted\"",
      "/tmp/new\nline",
      "/tmp/*",
      "/tmp/$HOME ${PATH} \\ | & > < #",
  };
  for (const std::string& name : names) {
    std::remove(record.c_str());
    EXPECT_EQ(remove_log_file(name.c_str(), "storage_full"), 1) << name;
    EXPECT_EQ(read_whole_file(record), "2\n[" + name + "]\n[storage_full]\n");
  }
  EXPECT_NE(access(marker.c_str(), F_OK), 0);

  root.write_script(REMOVE_SCRIPT, "exit 3\n");
  EXPECT_EQ(remove_log_file("/tmp/x", "storage_full"), 0);
  std::remove(root.at(REMOVE_SCRIPT).c_str());
  EXPECT_EQ(remove_log_file("/tmp/x", "storage_full"), 0);
}

TEST_F(CommandRunnerTest, RemoveFileNeverRunsACutCommandLine) {
  root.write_script(REMOVE_SCRIPT, "touch " + root.at("/ran") + "\n");
  // The line has room for two roots and 512 bytes: script path, path,
  // reason, six quotes, two blanks and the NUL.
  const std::size_t room = 2 * root_length() + COMMAND_LINE_SIZE;
  const std::size_t script_length = root_length() + std::string(REMOVE_SCRIPT).size();
  const std::size_t fitting = room - script_length - std::string("x").size() - 6 - 2 - 1;
  const std::string too_long(fitting + 1, 'p');
  EXPECT_EQ(remove_log_file(too_long.c_str(), "x"), 0);
  EXPECT_NE(access(root.at("/ran").c_str(), F_OK), 0);
  const std::string longest(fitting, 'p');
  EXPECT_EQ(remove_log_file(longest.c_str(), "x"), 1);
  EXPECT_EQ(access(root.at("/ran").c_str(), F_OK), 0);
}

TEST_F(CommandRunnerTest, ManyRunsLeaveNoDescriptorOpen) {
  const int descriptors = open_descriptor_count();
  const char* text = nullptr;
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(shell_command("exit 0"), 0);
    ASSERT_EQ(shell_capture("echo run", &text, "in"), 0);
    ASSERT_EQ(run_shell_line("exit 1"), 256);
  }
  EXPECT_EQ(open_descriptor_count(), descriptors);
}

}  // namespace
