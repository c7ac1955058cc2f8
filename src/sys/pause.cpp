#include "sys/pause.h"

#include <cerrno>
#include <ctime>

void pause_seconds(unsigned seconds) {
  timespec left{static_cast<time_t>(seconds), 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
