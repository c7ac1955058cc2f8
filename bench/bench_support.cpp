#include "bench_support.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sys/log.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& path) {
  std::fprintf(stderr, "bench fixture: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
  std::abort();
}

std::string scratch_base() {
  if (const char* chosen = std::getenv("METERSCRIBE_BENCH_TMP"); chosen != nullptr && *chosen != '\0') return chosen;
  if (access("/dev/shm", W_OK) == 0) return "/dev/shm";
  return "/tmp";
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void drop_message(int, const char*) {}

}  // namespace

ScratchDir::ScratchDir() {
  std::string pattern = scratch_base() + "/meterscribe-bench.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) fail("mkdtemp", pattern);
  path_ = pattern;
}

ScratchDir::~ScratchDir() { nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

void write_file(const std::string& path, const std::string& content, int mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) fail("open", path);
  if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) fail("write", path);
  close(fd);
}

void make_dirs(const std::string& path) {
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    std::string prefix = path.substr(0, at);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) fail("mkdir", prefix);
  }
}

void copy_file(const std::string& from, const std::string& to) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) fail("open", from);
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) fail("open", to);
  for (;;) {
    ssize_t moved = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (moved < 0) fail("copy_file_range", to);
    if (moved == 0) break;
  }
  close(in);
  close(out);
}

void silence_messages() { log_set_capture(drop_message); }
