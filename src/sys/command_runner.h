// Running the gateway's scripts as child processes.
//
// Every script runs as "/bin/sh" "-c" <command line>. The runners log
// nothing; their result is the child's wait status exactly as waitpid stores
// it (exit code k gives k * 256, a signal gives its number), 0 meaning a
// normal exit with code 0, and -1 when no child was started or the wait
// failed. Callers judge a run only by whether the result is 0.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

constexpr std::size_t CAPTURE_SIZE = 1024;  // collected output, NUL included
constexpr std::size_t MAX_CHILD_ARGS = 62;
constexpr std::size_t COMMAND_LINE_SIZE = 512;

// Runs program with args (null-ended; at most 62 are passed) with all three
// streams on /dev/null, and waits for it without a time limit.
int run_command(const char* program, const char* const* args);

// Runs program with args, feeding `input` to its standard input and
// collecting its output and error into one static buffer of CAPTURE_SIZE
// bytes (*out_text points to it until the next run; the text wraps to the
// front after CAPTURE_SIZE - 1 bytes and is always NUL-ended). Polls the child every millisecond until it has ended.
int run_shell_capture(std::string_view input, const char** out_text, const char* program,
                      const char* const* args);

// Runs removeFile with the path and the reason word, each as one argument.
// Returns 1 exactly when the script ran and exited with status 0.
int remove_log_file(const char* path, const char* reason);

// Composes a command line for /bin/sh from words, each single-quoted so the
// shell hands it to the program as exactly one argument and interprets
// nothing in it (an embedded ' is written as '\''). Returns false, leaving
// an empty text, when the line would not fit into `out`: a cut command
// line may name another file and is never run.
bool compose_shell_command(std::span<char> out, std::span<const char* const> words);

// Runs one composed command line through "/bin/sh" "-c" with
// run_shell_capture and empty input; the wait status as above.
int run_shell_line(const char* command_line);
