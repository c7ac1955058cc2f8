#include "support/log_dir_test.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>

#include "daemon/log_store.h"
#include "sys/paths.h"

const std::vector<std::uint8_t> LogDirTest::RESPONSE = {0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B};

void LogDirTest::SetUp() {
  setenv("TZ", "UTC", 1);
  tzset();
  dir = root.at(VOLATILE_LOG_DIR);
  snprintf(context.log_dir.data(), context.log_dir.size(), "%s", dir.c_str());
  pthread_mutex_init(&context.ready_lock, nullptr);
  context.send_period = 15;
}

void LogDirTest::TearDown() { pthread_mutex_destroy(&context.ready_lock); }

void LogDirTest::append(std::time_t when, unsigned meter) {
  append_log_line_at(&context, meter, RESPONSE.data(), RESPONSE.size(), when);
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
