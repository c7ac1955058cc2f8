// A temporary root with an opened log directory, a released name whose
// ready_lock is live, and a removeFile script that records "path|reason"
// lines and removes the path, or fails while <root>/remove_fails exists.
#pragma once

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "store/log_dir.h"
#include "store/release.h"
#include "support/temp_root.h"
#include "sys/paths.h"

class StoreFixture : public TempRootTest {
 protected:
  void SetUp() override {
    release_init(release);
    use_log_dir(MEMCARD_LOG_DIR);
    root.write_script(REMOVE_SCRIPT, "printf '%s|%s\\n' \"$1\" \"$2\" >> '" + root.at("/removed") + "'\n[ -e '" +
                                         root.at("/remove_fails") + "' ] && exit 1\nrm -f -- \"$1\"\n");
  }
  void TearDown() override { pthread_mutex_destroy(&release.ready_lock); }

  void use_log_dir(const std::string& relative) {
    ::mkdir(root.at(relative).c_str(), 0755);
    log_dir_open(log_dir, root.at(relative).c_str());
  }
  void set_ready_name(const std::string& name) {
    std::snprintf(release.ready_name, sizeof release.ready_name, "%s", name.c_str());
  }
  std::string log_path(const std::string& name) const { return std::string(log_dir.path.data()) + "/" + name; }
  void write_log(const std::string& name, const std::string& content) const {
    write_whole_file(log_path(name), content);
  }
  std::string read_log(const std::string& name) const { return read_whole_file(log_path(name)); }
  bool exists(const std::string& name) const {
    struct stat info {};
    return ::stat(log_path(name).c_str(), &info) == 0;
  }
  void make_removal_fail() const { root.write_file("/remove_fails", ""); }
  // Lines recorded by a script into <root>/<file>, sorted.
  std::vector<std::string> recorded(const std::string& file) const {
    std::vector<std::string> lines;
    std::ifstream in(root.at("/" + file));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  LogDir log_dir;
  ReleasedName release{};
};
