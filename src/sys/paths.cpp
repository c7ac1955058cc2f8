#include "sys/paths.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
std::array<char, ROOT_MAX + 1> root_prefix{};
std::size_t root_prefix_length = 0;
}  // namespace

bool paths_set_root(const char* root) {
  root_prefix[0] = '\0';
  root_prefix_length = 0;
  if (root == nullptr || root[0] == '\0') return true;
  std::size_t length = std::strlen(root);
  if (length > ROOT_MAX) return false;
  std::memcpy(root_prefix.data(), root, length + 1);
  root_prefix_length = length;
  return true;
}

bool paths_init_from_env() { return paths_set_root(std::getenv("METERSCRIBE_ROOT")); }

const char* path_root() { return root_prefix.data(); }

std::size_t root_length() { return root_prefix_length; }

char* rooted_path(char* out, std::size_t out_size, const char* fixed) {
  snprintf(out, out_size, "%s%s", root_prefix.data(), fixed);
  return out;
}
