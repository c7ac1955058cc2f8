// A lock directory on a file system that refuses hard links, as some flash
// file systems do: with MS_REFUSE_LINK set to an error number, link and
// linkat fail with it (1, EPERM, when it is no number above 0). Unset,
// both pass through to the C library.
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool refused() {
  const char* error = std::getenv("MS_REFUSE_LINK");
  if (error == nullptr) return false;
  long number = std::strtol(error, nullptr, 10);
  errno = number > 0 ? static_cast<int>(number) : EPERM;
  return true;
}

template <typename Fn>
Fn real(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int link(const char* from, const char* to) noexcept {
  if (refused()) return -1;
  return real<int (*)(const char*, const char*)>("link")(from, to);
}

extern "C" int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) noexcept {
  if (refused()) return -1;
  return real<int (*)(int, const char*, int, const char*, int)>("linkat")(from_dir, from, to_dir, to, flags);
}
