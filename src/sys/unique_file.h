// Buffered streams owned by RAII, and the size of an open one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <sys/stat.h>

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using unique_file = std::unique_ptr<FILE, FileCloser>;

// The size of an open stream's file, from its descriptor: the file that is
// read, whatever its name meanwhile became. -1 on failure.
inline std::int64_t stream_size(FILE* stream) {
  struct stat info {};
  if (fstat(fileno(stream), &info) != 0) return -1;
  return static_cast<std::int64_t>(info.st_size);
}
