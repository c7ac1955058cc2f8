#include "sys/command_runner.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sys/command_runner_internal.h"
#include "sys/paths.h"
#include "sys/unique_fd.h"

thread_local ChildRedirect child_redirect{-1, -1, -1};
char capture_buffer[CAPTURE_SIZE];

namespace {

constexpr const char* SHELL = "/bin/sh";
constexpr int POLL_INTERVAL_MS = 1;
// The removeFile line carries two rooted texts: the script and the log file.
constexpr std::size_t REMOVE_LINE_CAPACITY = 2 * ROOT_MAX + COMMAND_LINE_SIZE;

// ---- In the child only: everything below runs between fork and exec in a
// process that may have had a second thread, so it calls only
// async-signal-safe functions and allocates nothing.

// Moves a descriptor to 3 or above, so that placing the standard streams
// cannot overwrite it before it has been used. -1 stays -1.
int above_stdio(int fd) { return fd < 0 ? -1 : fcntl(fd, F_DUPFD, 3); }

// No script may inherit the serial port, the lock file or a log file.
void close_from_3() {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
#endif
  // Kernels before close_range: walk the whole descriptor table.
  for (int fd = getdtablesize() - 1; fd >= 3; --fd) close(fd);
}

// The entry of child_redirect decides the stream: its own number inherits
// it, another descriptor replaces it, a negative entry means /dev/null. With
// neither a descriptor nor /dev/null the stream stays closed.
void place_stream(int stream, int entry, int null_fd) {
  if (entry == stream) return;
  close(stream);
  int source = entry >= 0 ? entry : null_fd;
  if (source >= 0) dup2(source, stream);
}

constexpr std::size_t ARGV_SLOTS = MAX_CHILD_ARGS + 2;  // program, arguments, null

// Slot 0 is the program, then at most 62 arguments, then the null; the
// vector lives on the stack of the child.
[[noreturn]] void exec_program(const char* program, const char* const* args) {
  std::array<char*, ARGV_SLOTS> argv{};
  argv[0] = const_cast<char*>(program);
  std::size_t count = 0;
  while (args != nullptr && count < MAX_CHILD_ARGS && args[count] != nullptr) {
    argv[count + 1] = const_cast<char*>(args[count]);
    ++count;
  }
  // glibc's execvp searches PATH with stack buffers only: safe here.
  execvp(program, argv.data());
  _exit(1);
}

// Both pipes were made with O_CLOEXEC; dup2 clears it on the copies that
// become the child's streams, and close_from_3 drops everything else.
[[noreturn]] void exec_capture_child(int input_read, int output_write, const char* program,
                                     const char* const* args) {
  int input = above_stdio(input_read);
  int output = above_stdio(output_write);
  if (input < 0 || output < 0) _exit(1);
  dup2(input, 0);
  dup2(output, 1);
  dup2(output, 2);
  close_from_3();
  exec_program(program, args);
}

// ---- In the parent.

// Blocks until the child has ended. A wait that fails gives -1: a run whose
// end we could not see is never taken for a success.
int wait_for_exit(pid_t child) {
  for (;;) {
    int status = 0;
    pid_t done = waitpid(child, &status, 0);
    if (done == child) return status;
    if (done < 0 && errno != EINTR) return -1;
  }
}

// Both ends of a pipe, closed on every path out of a run.
struct Pipe {
  unique_fd read_end;
  unique_fd write_end;
};

// O_CLOEXEC from the start: a child that the other thread forks at the same
// moment must not inherit our pipe ends (it would hold the output open).
bool open_pipe(Pipe& pipe_ends) {
  std::array<int, 2> fds{};
  if (pipe2(fds.data(), O_CLOEXEC) != 0) return false;
  pipe_ends.read_end.reset(fds[0]);
  pipe_ends.write_end.reset(fds[1]);
  return true;
}

// Writes the input once, never blocking and never dying of SIGPIPE when the
// child has already closed its standard input. Input beyond what the pipe
// holds is not delivered; every caller passes the empty text.
void deliver_input(int fd, std::string_view input) {
  if (input.empty()) return;
  fcntl(fd, F_SETFL, O_NONBLOCK);
  sigset_t pipe_signal;
  sigset_t previous;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
  ssize_t written = write(fd, input.data(), input.size());
  if (written < 0 && errno == EPIPE && sigismember(&previous, SIGPIPE) == 0) {
    const timespec no_wait{};
    sigtimedwait(&pipe_signal, nullptr, &no_wait);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Stores n bytes that just arrived at `position`. On reaching the end of the
// buffer the last byte gives way to the NUL and the next read starts over at
// the front, so the text is always NUL-ended within 1024 bytes.
std::size_t advance_capture(std::size_t position, std::size_t received) {
  position += received;
  if (position >= CAPTURE_SIZE) {
    capture_buffer[CAPTURE_SIZE - 1] = '\0';
    return 0;
  }
  capture_buffer[position] = '\0';
  return position;
}

enum class OutputState { open, ended };

// Waits at most 1 ms for output and stores what arrives. End of file (or a
// pipe that cannot be read) ends the watching.
OutputState collect_output(int fd, std::size_t& position) {
  pollfd watched{fd, POLLIN, 0};
  if (poll(&watched, 1, POLL_INTERVAL_MS) <= 0) return OutputState::open;
  ssize_t received = read(fd, capture_buffer + position, CAPTURE_SIZE - position);
  if (received > 0) {
    position = advance_capture(position, static_cast<std::size_t>(received));
    return OutputState::open;
  }
  if (received < 0 && (errno == EINTR || errno == EAGAIN)) return OutputState::open;
  return OutputState::ended;
}

// Asks for the child every millisecond while it may still write. The loop
// ends as soon as the child is reported, without draining the pipe. Once
// the output has ended there is nothing left to watch, so the wait blocks.
int capture_until_exit(pid_t child, int output, unique_fd& input, std::string_view input_text) {
  std::size_t position = 0;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) return status;
    if (done < 0 && errno != EINTR) return -1;
    if (input.valid()) {
      deliver_input(input.get(), input_text);
      input.reset();  // the child's standard input reaches end of file
    }
    if (collect_output(output, position) == OutputState::ended) return wait_for_exit(child);
  }
}

bool append_text(std::span<char> out, std::size_t& used, const char* text, std::size_t length) {
  if (used + length >= out.size()) return false;  // keep room for the NUL
  std::memcpy(out.data() + used, text, length);
  used += length;
  return true;
}

// One word in single quotes: the shell interprets nothing inside them, and
// a quote in the word closes the quoting, adds an escaped quote, reopens.
bool append_quoted(std::span<char> out, std::size_t& used, const char* word) {
  if (!append_text(out, used, "'", 1)) return false;
  for (const char* c = word; *c != '\0'; ++c) {
    bool fits = *c == '\'' ? append_text(out, used, "'\\''", 4) : append_text(out, used, c, 1);
    if (!fits) return false;
  }
  return append_text(out, used, "'", 1);
}

// In the parent: closes the child_redirect entries above 2 and sets all
// three back to -1, so the next run inherits nothing by accident.
void release_child_redirect() {
  for (int* entry : {&child_redirect.in_fd, &child_redirect.out_fd, &child_redirect.err_fd}) {
    if (*entry > 2) close(*entry);
    *entry = -1;
  }
}

// In the forked child: rearranges the streams as child_redirect says,
// closes every descriptor from 3 up and executes the program; never returns.
[[noreturn]] void exec_child(const char* program, const char* const* args) {
  int null_fd = above_stdio(open("/dev/null", O_RDWR));
  place_stream(0, child_redirect.in_fd, null_fd);
  place_stream(1, child_redirect.out_fd, null_fd);
  place_stream(2, child_redirect.err_fd, null_fd);
  close_from_3();
  exec_program(program, args);
}

}  // namespace

int run_command(const char* program, const char* const* args) {
  pid_t child = fork();
  if (child == 0) exec_child(program, args);
  release_child_redirect();
  if (child < 0) return -1;
  return wait_for_exit(child);
}

int run_shell_capture(std::string_view input, const char** out_text, const char* program,
                      const char* const* args) {
  Pipe output;
  Pipe input_pipe;
  if (!open_pipe(output) || !open_pipe(input_pipe)) return -1;
  *out_text = capture_buffer;
  pid_t child = fork();
  if (child == 0) exec_capture_child(input_pipe.read_end.get(), output.write_end.get(), program, args);
  if (child < 0) return -1;
  output.write_end.reset();
  input_pipe.read_end.reset();
  return capture_until_exit(child, output.read_end.get(), input_pipe.write_end, input);
}

bool compose_shell_command(std::span<char> out, std::span<const char* const> words) {
  if (out.empty()) return false;
  std::size_t used = 0;
  bool fits = true;
  for (std::size_t i = 0; fits && i < words.size(); ++i) {
    // Two reasons for one outcome: a missing word, no room for the blank.
    // NOLINTNEXTLINE(bugprone-branch-clone)
    if (words[i] == nullptr) fits = false;
    else if (i > 0 && !append_text(out, used, " ", 1)) fits = false;
    else fits = append_quoted(out, used, words[i]);
  }
  out[fits ? used : 0] = '\0';
  return fits;
}

int run_shell_line(const char* command_line) {
  const char* unused = nullptr;
  const std::array<const char*, 3> args{"-c", command_line, nullptr};
  return run_shell_capture({}, &unused, SHELL, args.data());
}

int remove_log_file(const char* path, const char* reason) {
  PathBuffer script{};
  rooted_path(script.data(), rooted_size(PATH_SIZE), REMOVE_SCRIPT);
  if (std::strlen(script.data()) != root_length() + std::strlen(REMOVE_SCRIPT)) return 0;

  // The line may hold the root twice (script and log file) plus 512 bytes.
  std::array<char, REMOVE_LINE_CAPACITY> line{};
  std::span<char> room(line.data(), 2 * root_length() + COMMAND_LINE_SIZE);
  const std::array<const char*, 3> words{script.data(), path, reason};
  if (!compose_shell_command(room, words)) return 0;  // a cut line names another file
  return run_shell_line(line.data()) == 0 ? 1 : 0;
}
