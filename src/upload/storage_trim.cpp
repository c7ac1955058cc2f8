#include "upload/storage_trim.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <unistd.h>
#include <utility>

#include "daemon/context.h"
#include "sys/command_runner.h"
#include "sys/dir_query.h"
#include "sys/log.h"
#include "sys/paths.h"
#include "sys/unique_file.h"

namespace {

// A path of at most 257 characters after the root, and the root itself.
using PathBuffer = std::array<char, ROOT_MAX + PATH_SIZE>;

// A constant product that fits an int.
// NOLINTNEXTLINE(bugprone-implicit-widening-of-multiplication-result)
constexpr std::size_t COPY_CHUNK = 64 * 1024;

// Joins two texts into a path buffer; false when the path would be cut,
// since a cut path names another file.
bool compose_path(PathBuffer& out, const char* head, const char* separator, const char* tail) {
  std::size_t size = rooted_size(PATH_SIZE);
  int written = std::snprintf(out.data(), size, "%s%s%s", head, separator, tail);
  return written >= 0 && static_cast<std::size_t>(written) < size;
}

enum class Reading { capacity, free_space };

// RAM figures come in units of mem_unit bytes (0 on ancient kernels, which
// counted bytes). The reserve is what the system itself needs: a figure
// not above it leaves no room for logs.
std::uint64_t ram_kib(std::uint64_t units, std::uint64_t mem_unit) {
  std::uint64_t bytes = units * (mem_unit == 0 ? 1 : mem_unit);
  return bytes > RAM_RESERVE_BYTES ? (bytes - RAM_RESERVE_BYTES) / 1024 : 0;
}

bool read_ram(Reading which, std::uint64_t* kib) {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return false;
  *kib = ram_kib(which == Reading::capacity ? info.totalram : info.freeram, info.mem_unit);
  return true;
}

// f_bavail, not f_bfree: the blocks kept for root are no room for logs.
bool read_file_system(const char* log_dir, Reading which, std::uint64_t* kib) {
  struct statvfs stats {};
  if (statvfs(log_dir, &stats) != 0) return false;
  std::uint64_t blocks = which == Reading::capacity ? stats.f_blocks : stats.f_bavail;
  *kib = std::uint64_t{stats.f_frsize} * blocks / 1024;
  return true;
}

bool take_reading(const char* log_dir, bool in_ram, Reading which, std::uint64_t* kib) {
  bool ok = in_ram ? read_ram(which, kib) : read_file_system(log_dir, which, kib);
  if (!ok) log_msg(LOG_NOTICE, "error reading system statistics");
  return ok;
}

// The volatile directory is a RAM file system; only the exact path counts.
bool is_volatile_dir(const char* log_dir) {
  PathBuffer volatile_dir;
  rooted_path(volatile_dir.data(), rooted_size(PATH_SIZE), VOLATILE_LOG_DIR);
  return std::strcmp(log_dir, volatile_dir.data()) == 0;
}

// TRIM_SHARE_PERCENT of the total, rounded down, without overflow.
std::uint64_t share_to_cut(std::uint64_t total) {
  return total / 100 * TRIM_SHARE_PERCENT + total % 100 * TRIM_SHARE_PERCENT / 100;
}

// Moves path to its temporary name, but never over an existing file: a
// ".tmp" left by an interrupted cut may hold the only copy of some lines.
bool rename_without_replacing(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag (a FAT card on an old kernel): only this
  // thread makes ".tmp" names, under ready_lock, so looking first is enough.
  struct stat existing {};
  if (lstat(to, &existing) == 0 || errno != ENOENT) return false;
  return std::rename(from, to) == 0;
}

// Puts the whole old content back under its name, replacing a partial new
// file in one step. When even that fails, the old content stays whole
// under the temporary name: there is no better place left for it.
// NOLINTNEXTLINE(cert-err33-c)
void restore_old_content(const char* tmp_path, const char* path) { std::rename(tmp_path, path); }

enum class LineEnd { before_last_byte, none, read_error };

// Reads from the stream's position up to and including the first line end.
// A line end that is the file's last byte leaves nothing to keep, so it
// counts as none.
LineEnd skip_through_line_end(FILE* file) {
  int c = 0;
  while ((c = std::getc(file)) != EOF && c != '\n') {
  }
  if (c == '\n') c = std::getc(file);
  if (c == EOF) return std::ferror(file) != 0 ? LineEnd::read_error : LineEnd::none;
  std::ungetc(c, file);
  return LineEnd::before_last_byte;
}

enum class CopyResult { done, read_failed, write_failed };

// Streams the rest of `from` into `to` in chunks; no file is ever held in
// memory as a whole.
CopyResult copy_rest(FILE* from, FILE* to) {
  std::array<char, COPY_CHUNK> chunk;
  for (;;) {
    std::size_t got = std::fread(chunk.data(), 1, chunk.size(), from);
    if (got > 0 && std::fwrite(chunk.data(), 1, got, to) != got) return CopyResult::write_failed;
    if (got < chunk.size()) return std::ferror(from) != 0 ? CopyResult::read_failed : CopyResult::done;
  }
}

// A full file system often shows only when the buffer is flushed or the
// file closed; the kept part must be on the medium before the old content
// may go.
bool finish_written_file(FILE* file) {
  bool flushed = std::fflush(file) == 0 && fsync(fileno(file)) == 0;
  bool closed = std::fclose(file) == 0;
  return flushed && closed;
}

// Hands the old content to removeFile. When the script could not remove it,
// the old content goes back under its name: a ".tmp" copy beside the kept
// part would be offered to send and its lines uploaded twice, and the
// ".tmp" of the newest released file sorts after ready_name, where nothing
// would ever look at it again.
CutOutcome remove_old_content(const char* tmp_path, const char* path) {
  if (remove_log_file(tmp_path, REASON_CUT_FILE) == 1) return CutOutcome::walk_ends;
  restore_old_content(tmp_path, path);
  return CutOutcome::walk_goes_on;
}

// Writes the kept part under the old name and hands the old content to
// removeFile. On any failure the old content comes back whole.
CutOutcome write_kept_part(unique_file old_content, const char* path, const char* tmp_path) {
  // "x": a file that appeared under the old name meanwhile is not ours.
  unique_file kept(std::fopen(path, "wx"));
  if (!kept) {
    log_msg(LOG_NOTICE, "Can not open file");
    return CutOutcome::walk_goes_on;
  }
  CopyResult copied = copy_rest(old_content.get(), kept.get());
  bool written = finish_written_file(kept.release()) && copied == CopyResult::done;
  old_content.reset();
  if (written) return remove_old_content(tmp_path, path);
  log_msg(LOG_NOTICE, copied == CopyResult::read_failed ? "Can not read file" : "Can not write into file");
  restore_old_content(tmp_path, path);
  return CutOutcome::walk_goes_on;
}

// One name of the walk: skipped, removed whole, or cut at a line end.
CutOutcome trim_one(const char* log_dir, const char* ready_name, const char* name, std::uint64_t* cut_remaining) {
  if (std::strcmp(name, ready_name) > 0) return CutOutcome::walk_goes_on;
  PathBuffer path;
  PathBuffer tmp_path;
  if (!compose_path(path, log_dir, "/", name) || !compose_path(tmp_path, path.data(), "", TMP_SUFFIX))
    return CutOutcome::walk_goes_on;
  std::int64_t size = file_size(path.data());
  if (size <= 0) return CutOutcome::walk_goes_on;  // empty, or gone: nothing to gain
  auto bytes = static_cast<std::uint64_t>(size);
  if (bytes > *cut_remaining) return cut_file_head(path.data(), *cut_remaining);
  if (remove_log_file(path.data(), REASON_WHOLE_FILE) == 1) *cut_remaining -= bytes;
  return CutOutcome::walk_goes_on;
}

}  // namespace

bool storage_use_percent(const char* log_dir, std::uint64_t* percent) {
  bool in_ram = is_volatile_dir(log_dir);
  std::uint64_t capacity_kib = 0;
  std::uint64_t free_kib = 0;
  bool capacity_read = take_reading(log_dir, in_ram, Reading::capacity, &capacity_kib);
  bool free_read = take_reading(log_dir, in_ram, Reading::free_space, &free_kib);
  // Without both readings and a capacity the use is unknown; guessing full
  // would cost a card with I/O errors a fifth of its data on every failure.
  if (!capacity_read || !free_read || capacity_kib == 0) return false;
  // More free than capacity is no real state of a storage; it reads as full.
  *percent = capacity_kib > free_kib ? (capacity_kib - free_kib) * 100 / capacity_kib : 100;
  return true;
}

void trim_storage(DaemonContext* context) {
  const char* log_dir = context->log_dir.data();
  std::uint64_t percent = 0;
  if (!storage_use_percent(log_dir, &percent) || percent < TRIM_THRESHOLD_PERCENT) return;
  trim_released_files(log_dir, context->ready_name, share_to_cut(directory_size(log_dir)));
}

void trim_released_files(const char* log_dir, const char* ready_name, std::uint64_t cut_remaining) {
  char** names = list_regular_files(log_dir);
  if (names == nullptr) {
    log_msg(LOG_NOTICE, "Can not list directory");
    return;
  }
  // The listing is in directory order, not by age: released files are all
  // old enough to go, and sorting 999 names buys nothing.
  for (char** name = names; cut_remaining > 0 && *name != nullptr; ++name) {
    if (trim_one(log_dir, ready_name, *name, &cut_remaining) == CutOutcome::walk_ends) break;
  }
  free_file_list(names);
}

CutOutcome cut_file_head(const char* path, std::uint64_t cut_remaining) {
  PathBuffer tmp_path;
  if (!compose_path(tmp_path, path, "", TMP_SUFFIX)) return CutOutcome::walk_goes_on;
  if (!rename_without_replacing(path, tmp_path.data())) {
    log_msg(LOG_NOTICE, "Can not rename file to tmp");
    return CutOutcome::walk_goes_on;
  }
  // From here on a failure leaves the content under the temporary name,
  // where later passes list it like any other file.
  unique_file old_content(std::fopen(tmp_path.data(), "r"));
  if (!old_content) {
    log_msg(LOG_NOTICE, "Can not open file");
    return CutOutcome::walk_goes_on;
  }
  if (cut_remaining > INT64_MAX || fseeko(old_content.get(), static_cast<off_t>(cut_remaining), SEEK_SET) != 0) {
    log_msg(LOG_NOTICE, "Can not seek file");
    return CutOutcome::walk_goes_on;
  }
  switch (skip_through_line_end(old_content.get())) {
    case LineEnd::none:  // no whole line after the offset: the file goes whole
      old_content.reset();
      return remove_old_content(tmp_path.data(), path);
    case LineEnd::read_error:
      log_msg(LOG_NOTICE, "Can not read file");
      old_content.reset();
      restore_old_content(tmp_path.data(), path);
      return CutOutcome::walk_goes_on;
    case LineEnd::before_last_byte:
      break;
  }
  return write_kept_part(std::move(old_content), path, tmp_path.data());
}
