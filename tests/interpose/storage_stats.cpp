// Storage figures chosen by the test: statvfs and sysinfo answer from the
// environment instead of the kernel.
//
//   MS_FAKE_STATVFS="<f_frsize> <f_blocks> <f_bavail>" or "fail"
//   MS_FAKE_SYSINFO="<totalram> <freeram> <mem_unit>" or "fail"
//
// An unset variable passes the call through to the C library.
#undef _FILE_OFFSET_BITS  // define statvfs and statvfs64 as separate symbols
#undef _TIME_BITS  // needs _FILE_OFFSET_BITS=64; nothing here depends on time_t
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>

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

template <typename Fn>
Fn real(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
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

extern "C" int sysinfo(struct sysinfo* info) noexcept {
  const char* spec = std::getenv("MS_FAKE_SYSINFO");
  if (spec == nullptr) return real<int (*)(struct sysinfo*)>("sysinfo")(info);
  unsigned long total = 0, free = 0;
  unsigned unit = 0;
  if (fails(spec) || std::sscanf(spec, "%lu %lu %u", &total, &free, &unit) != 3) {
    errno = EFAULT;
    return -1;
  }
  std::memset(info, 0, sizeof *info);
  info->totalram = total;
  info->freeram = free;
  info->mem_unit = unit;
  return 0;
}
