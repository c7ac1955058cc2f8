// The released name: the newest log file handed over for upload.
//
// The polling thread publishes a name here when the current log file is old
// enough; from then on that file, and every file whose name sorts at or
// before it, belongs to the upload thread and the storage trimming. This
// unit alone holds ready_lock and ready_name.
#pragma once

#include <pthread.h>

#include "sys/paths.h"

struct ReleasedName {
  pthread_mutex_t ready_lock;  // guards ready_name and the storage work
  // Bare name of the newest log file released for upload; "" until then.
  char ready_name[PATH_SIZE];
};

// Initialises the lock and empties the name; once, before a second thread
// can see the record.
void release_init(ReleasedName& release);

// The polling side, its only writer: publishes `name` (cut to PATH_SIZE - 1
// characters). The lock is taken for the copy alone; it waits only while
// the upload thread holds the lock for a trim.
void release_publish(ReleasedName& release, const char* name);

// Whether `name` may be offered for upload now: the released name is a
// whole log file name (LOG_NAME_LEN characters) and `name` sorts at or
// before it.
bool release_covers(ReleasedName& release, const char* name);

// Runs work(ready_name) with the lock held, so that no release happens
// while it runs (the storage trimming).
template <typename Work>
void release_hold(ReleasedName& release, Work&& work) {
  pthread_mutex_lock(&release.ready_lock);
  static_cast<Work&&>(work)(static_cast<const char*>(release.ready_name));
  pthread_mutex_unlock(&release.ready_lock);
}
