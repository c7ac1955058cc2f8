#include "daemon/log_location.h"

#include <cstdio>

#include "sys/log.h"

std::size_t write_log_dir_path(const DaemonContext& context, char* out, std::size_t out_size) {
  int length = context.cache[0] == '\0'
                   ? snprintf(out, out_size, "%s%s", path_root(), VOLATILE_LOG_DIR)
                   : snprintf(out, out_size, "%s%s/%s", path_root(), MEMCARD_LOG_DIR, context.cache_dir);
  return length > 0 ? static_cast<std::size_t>(length) : 0;
}

bool log_dir_path_fits(std::size_t length) { return length < rooted_size(LOG_DIR_SIZE); }

bool compose_log_dir(const DaemonContext& context, PathBuffer& path) {
  std::size_t length = write_log_dir_path(context, path.data(), path.size());
  if (log_dir_path_fits(length)) return true;
  // Only the card's directory can be too long. Named in full from its
  // parts: no buffer for the whole path, whatever its length.
  log_msg(LOG_ERR, "error: log directory %s%s/%s is too long: at most %zu characters fit", path_root(),
          MEMCARD_LOG_DIR, context.cache_dir, LOG_DIR_SIZE - 1);
  path[0] = '\0';
  return false;
}
