// Storage figures chosen by the test: statvfs, fstatvfs, fstatfs, sysinfo
// and /proc/meminfo answer from the environment instead of the kernel.
//
//   MS_FAKE_STATVFS="<f_frsize> <f_blocks> <f_bavail>" or "fail"
//   MS_FAKE_SYSINFO="<totalram> <freeram> <mem_unit> [<bufferram>]" or "fail"
//   MS_FAKE_MEMINFO="<MemAvailable in kB>", "none" (an older kernel's file
//                   without the line) or "fail"
//   MS_FAKE_FSTYPE="tmpfs" or "disk" (the file system type fstatfs reports)
//
// An unset variable passes the call through to the C library.
#undef _FILE_OFFSET_BITS  // define the calls and their 64 variants as separate symbols
#undef _TIME_BITS  // needs _FILE_OFFSET_BITS=64; nothing here depends on time_t
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <string>
#include <sys/mman.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <unistd.h>

namespace {

bool fails(const char* spec) { return std::strcmp(spec, "fail") == 0; }

template <typename Stats>
int fake_statvfs(const char* spec, Stats* stats) {
  unsigned long long frsize = 0, blocks = 0, available = 0;
  if (fails(spec) || std::sscanf(spec, "%llu %llu %llu", &frsize, &blocks, &available) != 3) {
    errno = EIO;
    return -1;
  }
  std::memset(stats, 0, sizeof *stats);
  stats->f_bsize = frsize;
  stats->f_frsize = frsize;
  stats->f_blocks = blocks;
  stats->f_bfree = blocks;  // more than f_bavail: the reading must take f_bavail
  stats->f_bavail = available;
  return 0;
}

template <typename Stats>
int fake_fstatfs(const char* spec, Stats* stats) {
  std::memset(stats, 0, sizeof *stats);
  stats->f_type = std::strcmp(spec, "tmpfs") == 0 ? TMPFS_MAGIC : EXT4_SUPER_MAGIC;
  return 0;
}

template <typename Fn>
Fn real(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// A memory file holding what the test wants /proc/meminfo to say.
int fake_meminfo(const char* spec) {
  if (fails(spec)) {
    errno = EACCES;
    return -1;
  }
  std::string text = "MemTotal:       1000000 kB\nMemFree:          10000 kB\n";
  if (std::strcmp(spec, "none") != 0) text += "MemAvailable:   " + std::string(spec) + " kB\n";
  text += "Buffers:           100 kB\n";
  int fd = memfd_create("meminfo", MFD_CLOEXEC);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) || lseek(fd, 0, SEEK_SET) != 0)
    return -1;
  return fd;
}

template <typename Fn>
int open_or_fake(const char* real_name, const char* path, int flags, va_list args) {
  const char* spec = std::getenv("MS_FAKE_MEMINFO");
  if (spec != nullptr && std::strcmp(path, "/proc/meminfo") == 0) return fake_meminfo(spec);
  mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
  return real<Fn>(real_name)(path, flags, mode);
}

}  // namespace

extern "C" int statvfs(const char* path, struct statvfs* stats) noexcept {
  if (const char* spec = std::getenv("MS_FAKE_STATVFS")) return fake_statvfs(spec, stats);
  return real<int (*)(const char*, struct statvfs*)>("statvfs")(path, stats);
}

extern "C" int statvfs64(const char* path, struct statvfs64* stats) noexcept {
  if (const char* spec = std::getenv("MS_FAKE_STATVFS")) return fake_statvfs(spec, stats);
  return real<int (*)(const char*, struct statvfs64*)>("statvfs64")(path, stats);
}

extern "C" int fstatvfs(int fd, struct statvfs* stats) noexcept {
  if (const char* spec = std::getenv("MS_FAKE_STATVFS")) return fake_statvfs(spec, stats);
  return real<int (*)(int, struct statvfs*)>("fstatvfs")(fd, stats);
}

extern "C" int fstatvfs64(int fd, struct statvfs64* stats) noexcept {
  if (const char* spec = std::getenv("MS_FAKE_STATVFS")) return fake_statvfs(spec, stats);
  return real<int (*)(int, struct statvfs64*)>("fstatvfs64")(fd, stats);
}

extern "C" int fstatfs(int fd, struct statfs* stats) noexcept {
  if (const char* spec = std::getenv("MS_FAKE_FSTYPE")) return fake_fstatfs(spec, stats);
  return real<int (*)(int, struct statfs*)>("fstatfs")(fd, stats);
}

extern "C" int fstatfs64(int fd, struct statfs64* stats) noexcept {
  if (const char* spec = std::getenv("MS_FAKE_FSTYPE")) return fake_fstatfs(spec, stats);
  return real<int (*)(int, struct statfs64*)>("fstatfs64")(fd, stats);
}

extern "C" int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  int fd = open_or_fake<int (*)(const char*, int, ...)>("open", path, flags, args);
  va_end(args);
  return fd;
}

extern "C" int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  int fd = open_or_fake<int (*)(const char*, int, ...)>("open64", path, flags, args);
  va_end(args);
  return fd;
}

extern "C" int sysinfo(struct sysinfo* info) noexcept {
  const char* spec = std::getenv("MS_FAKE_SYSINFO");
  if (spec == nullptr) return real<int (*)(struct sysinfo*)>("sysinfo")(info);
  unsigned long total = 0, free = 0, buffers = 0;
  unsigned unit = 0;
  int fields = fails(spec) ? 0 : std::sscanf(spec, "%lu %lu %u %lu", &total, &free, &unit, &buffers);
  if (fields < 3) {
    errno = EFAULT;
    return -1;
  }
  std::memset(info, 0, sizeof *info);
  info->totalram = total;
  info->freeram = free;
  info->bufferram = buffers;
  info->mem_unit = unit;
  return 0;
}
