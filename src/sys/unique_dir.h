// Directory streams owned by RAII.
#pragma once

#include <dirent.h>
#include <memory>

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using unique_dir = std::unique_ptr<DIR, DirCloser>;
