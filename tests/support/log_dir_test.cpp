#include "support/log_dir_test.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>

#include "sys/paths.h"

const std::vector<std::uint8_t> LogDirTest::RESPONSE = {0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B};

void LogDirTest::SetUp() {
  setenv("TZ", "UTC", 1);
  tzset();
  use_log_dir(root.at(VOLATILE_LOG_DIR));
  release_init(release);
}

void LogDirTest::TearDown() { pthread_mutex_destroy(&release.ready_lock); }

void LogDirTest::use_log_dir(const std::string& path) {
  dir = path;
  log_dir_open(log_dir, path.c_str());
}

void LogDirTest::append(std::time_t when, unsigned meter) {
  append_log_line_at(store, meter, RESPONSE.data(), RESPONSE.size(), when);
}

std::vector<std::string> LogDirTest::files() const {
  std::vector<std::string> names;
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return names;
  while (dirent* entry = readdir(listing))
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

std::string LogDirTest::content(const std::string& name) const { return read_whole_file(dir + "/" + name); }
