#include "store/release.h"

#include <cstdio>
#include <cstring>

#include "store/log_dir.h"

void release_init(ReleasedName& release) {
  pthread_mutex_init(&release.ready_lock, nullptr);
  release.ready_name[0] = '\0';
}

void release_publish(ReleasedName& release, const char* name) {
  pthread_mutex_lock(&release.ready_lock);
  std::snprintf(release.ready_name, sizeof release.ready_name, "%s", name);
  pthread_mutex_unlock(&release.ready_lock);
}

bool release_covers(ReleasedName& release, const char* name) {
  pthread_mutex_lock(&release.ready_lock);
  const char* ready_name = release.ready_name;
  // Anything but a whole log file name (nothing released yet, or a stray
  // file released by mistake) releases nothing.
  bool released =
      strnlen(ready_name, sizeof release.ready_name) == LOG_NAME_LEN && std::strcmp(name, ready_name) <= 0;
  pthread_mutex_unlock(&release.ready_lock);
  return released;
}
