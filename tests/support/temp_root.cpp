#include "support/temp_root.h"

#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "sys/paths.h"

namespace {

int remove_entry(const char* path, const struct stat*, int, FTW*) { return ::remove(path); }

void make_dirs(const std::string& path) {
  std::string partial;
  std::stringstream parts(path);
  std::string part;
  while (std::getline(parts, part, '/')) {
    if (part.empty()) continue;
    partial += "/" + part;
    ::mkdir(partial.c_str(), 0755);
  }
}

}  // namespace

std::string read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_whole_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

void remove_tree(const std::string& path) {
  // Directories made read-only by a test must become writable to be removed.
  std::string command = "chmod -R u+rwX '" + path + "' 2>/dev/null";
  if (std::system(command.c_str()) != 0) { /* best effort */ }
  nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

TempRoot::TempRoot() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/msroot.XXXXXX";
  char* made = ::mkdtemp(pattern.data());
  if (made == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = made;
  for (const char* dir : {"/opt/meterscribe/etc", "/var/meterscribe/voldata", "/var/meterscribe/mnt", "/var/lock", "/dev"})
    make_dirs(root_ + dir);
  paths_set_root(root_.c_str());
}

TempRoot::~TempRoot() {
  paths_set_root(nullptr);
  remove_tree(root_);
}

void TempRoot::write_file(const std::string& relative, const std::string& content, int mode) const {
  write_whole_file(at(relative), content);
  ::chmod(at(relative).c_str(), static_cast<mode_t>(mode));
}

std::string TempRoot::read_file(const std::string& relative) const { return read_whole_file(at(relative)); }

void TempRoot::write_settings(const std::string& content) const { write_file(SETTINGS_PATH, content); }

void TempRoot::write_script(const std::string& relative, const std::string& body) const {
  write_file(relative, "#!/bin/sh\n" + body, 0755);
}
