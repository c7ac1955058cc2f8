#include "store/storage_trim.h"
#include "store/storage_trim_internal.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <unistd.h>
#include <utility>

#include "store/log_store.h"
#include "sys/command_runner.h"
#include "sys/log.h"
#include "sys/paths.h"
#include "sys/unique_fd.h"
#include "sys/unique_file.h"

namespace {

// A constant product that fits an int.
// NOLINTNEXTLINE(bugprone-implicit-widening-of-multiplication-result)
constexpr std::size_t COPY_CHUNK = 64 * 1024;

enum class Reading { capacity, free_space };

// A figure in bytes less the reserve, in KiB. The reserve is what the
// system itself needs: a figure not above it leaves no room for logs.
std::uint64_t ram_kib(std::uint64_t bytes) {
  return bytes > RAM_RESERVE_BYTES ? (bytes - RAM_RESERVE_BYTES) / 1024 : 0;
}

// MemAvailable of /proc/meminfo in bytes: free memory plus the page cache
// and other memory the kernel would reclaim for us. False when the kernel
// (before 3.14) does not tell. Read with one read into a stack buffer: the
// figure sits in the first few lines.
bool read_mem_available(std::uint64_t* bytes) {
  unique_fd meminfo(open("/proc/meminfo", O_RDONLY | O_CLOEXEC));
  if (!meminfo.valid()) return false;
  std::array<char, 1024> text{};
  ssize_t length = read(meminfo.get(), text.data(), text.size() - 1);
  if (length <= 0) return false;
  static constexpr char FIELD[] = "MemAvailable:";
  const char* field = std::strstr(text.data(), FIELD);
  if (field == nullptr) return false;
  const char* digits = field + sizeof FIELD - 1;
  char* end = nullptr;
  errno = 0;
  unsigned long long kib = std::strtoull(digits, &end, 10);
  if (end == digits || errno == ERANGE || kib > UINT64_MAX / 1024) return false;
  *bytes = kib * 1024;
  return true;
}

// RAM figures come in units of mem_unit bytes (0 on ancient kernels, which
// counted bytes). Free RAM is what could be had for logs: without
// MemAvailable, free memory and the buffers; never free memory alone, which
// leaves out the page cache and reads 67 % used on any gateway that has run
// for a while.
bool read_ram(Reading which, std::uint64_t* kib) {
  std::uint64_t available = 0;
  if (which == Reading::free_space && read_mem_available(&available)) {
    *kib = ram_kib(available);
    return true;
  }
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return false;
  std::uint64_t unit = info.mem_unit == 0 ? 1 : info.mem_unit;
  std::uint64_t units = which == Reading::capacity ? info.totalram : std::uint64_t{info.freeram} + info.bufferram;
  *kib = ram_kib(units * unit);
  return true;
}

// f_bavail, not f_bfree: the blocks kept for root are no room for logs.
bool read_file_system(int dir_fd, Reading which, std::uint64_t* kib) {
  struct statvfs stats {};
  if (fstatvfs(dir_fd, &stats) != 0) return false;
  std::uint64_t blocks = which == Reading::capacity ? stats.f_blocks : stats.f_bavail;
  *kib = std::uint64_t{stats.f_frsize} * blocks / 1024;
  return true;
}

enum class Source { ram, file_system };

bool take_reading(int dir_fd, Source source, Reading which, std::uint64_t* kib) {
  bool ok = source == Source::ram ? read_ram(which, kib) : read_file_system(dir_fd, which, kib);
  if (!ok) log_msg(LOG_NOTICE, "error reading system statistics");
  return ok;
}

// The use of one source, in whole percent; false when it is unknown.
bool use_of(int dir_fd, Source source, std::uint64_t* percent) {
  std::uint64_t capacity_kib = 0;
  std::uint64_t free_kib = 0;
  bool capacity_read = take_reading(dir_fd, source, Reading::capacity, &capacity_kib);
  bool free_read = take_reading(dir_fd, source, Reading::free_space, &free_kib);
  // Without both readings and a capacity the use is unknown; guessing full
  // would cost a card with I/O errors a fifth of its data on every failure.
  if (!capacity_read || !free_read || capacity_kib == 0) return false;
  // More free than capacity is no real state of a storage; it reads as full.
  *percent = capacity_kib > free_kib ? (capacity_kib - free_kib) * 100 / capacity_kib : 100;
  return true;
}

// The volatile directory is in RAM; only the exact path counts.
bool is_volatile_dir(const char* log_dir) {
  PathBuffer volatile_dir;
  rooted_path(volatile_dir.data(), rooted_size(PATH_SIZE), VOLATILE_LOG_DIR);
  return std::strcmp(log_dir, volatile_dir.data()) == 0;
}

// The file system's magic number as the 32 bits it is: f_type is a signed
// word on 32-bit boards, where ramfs's magic reads as a negative number.
std::uint32_t file_system_magic(const struct statfs& info) { return static_cast<std::uint32_t>(info.f_type); }

// A tmpfs mounted on the volatile directory has a size of its own, which
// can fill up while RAM is plentiful. A directory on a tmpfs it shares
// (/run, /tmp) is measured by RAM alone: other users' files there must not
// cost the logs. The directory is the root of a mount when its parent lies
// on another device.
bool is_own_tmpfs(int dir_fd) {
  struct statfs info {};
  if (fstatfs(dir_fd, &info) != 0 || file_system_magic(info) != TMPFS_MAGIC) return false;
  struct stat self {};
  struct stat parent {};
  return fstat(dir_fd, &self) == 0 && fstatat(dir_fd, "..", &parent, 0) == 0 && self.st_dev != parent.st_dev;
}

}  // namespace

bool on_ram_file_system(const char* path, bool* on_ram) {
  struct statfs info {};
  if (statfs(path, &info) != 0) return false;
  std::uint32_t magic = file_system_magic(info);
  *on_ram = magic == TMPFS_MAGIC || magic == RAMFS_MAGIC;
  return true;
}

namespace {

// What a file takes on the medium: the lesser of its length and what its
// blocks hold. A sparse file's holes take nothing, and counted by its
// length one planted file of a terabyte would make a trim take every log.
struct FileSize {
  std::uint64_t length;
  std::uint64_t held;
};

FileSize size_of(const struct stat& info) {
  auto length = static_cast<std::uint64_t>(std::max<off_t>(info.st_size, 0));
  auto allocated = static_cast<std::uint64_t>(std::max<blkcnt_t>(info.st_blocks, 0)) * 512;
  return {length, std::min(length, allocated)};
}

bool measure(FILE* stream, FileSize* size) {
  struct stat info {};
  if (fstat(fileno(stream), &info) != 0) return false;
  *size = size_of(info);
  return true;
}

// A file as the walk counts it, for the directory's total.
std::uint64_t held_size(const struct stat& info) { return size_of(info).held; }

// TRIM_SHARE_PERCENT of the total, rounded down, without overflow.
std::uint64_t share_to_cut(std::uint64_t total) {
  return total / 100 * TRIM_SHARE_PERCENT + total % 100 * TRIM_SHARE_PERCENT / 100;
}

// Every failure after the move to the temporary name ends here, whatever
// failed: the whole old content goes back under its name (replacing any
// part already kept there) and the walk goes on. A ".tmp" beside a kept
// part would be offered to send and its lines uploaded twice, and the
// ".tmp" of the newest released file sorts after ready_name, where nothing
// would ever look at it again. `failure` is the one message for what
// failed. When even the move back fails, the content stays whole under
// the temporary name, where later passes list it like any other file.
CutOutcome give_back_old_content(const LogDir& dir, const char* name, const char* failure) {
  log_msg(LOG_NOTICE, "%s", failure);
  log_dir_restore_from_tmp(dir, name);
  return CutOutcome::walk_goes_on;
}

enum class LineEnd { before_last_byte, none, read_error };

// Reads from the stream's position up to and including the first line end,
// but no further than the longest line the daemon writes: past that the
// bytes are no log lines (the holes of a sparse file read as zeros), and
// the file counts as one without a line end. A line end that is the file's
// last byte leaves nothing to keep, so it counts as none.
LineEnd skip_through_line_end(FILE* file) {
  int c = 0;
  for (std::size_t examined = 0; examined < LOG_LINE_MAX; ++examined) {
    c = std::getc(file);
    if (c == EOF || c == '\n') break;
  }
  if (c != '\n' && c != EOF) return LineEnd::none;
  if (c == '\n') c = std::getc(file);
  if (c == EOF) return std::ferror(file) != 0 ? LineEnd::read_error : LineEnd::none;
  std::ungetc(c, file);
  return LineEnd::before_last_byte;
}

enum class CopyResult { done, read_failed, write_failed };

// Streams `count` bytes of `from` (fewer if it ends first) into `to` in
// chunks; no file is ever held in memory as a whole.
CopyResult copy_kept(FILE* from, FILE* to, std::uint64_t count) {
  std::array<char, COPY_CHUNK> chunk;
  while (count > 0) {
    auto want = static_cast<std::size_t>(std::min<std::uint64_t>(count, chunk.size()));
    std::size_t got = std::fread(chunk.data(), 1, want, from);
    if (got > 0 && std::fwrite(chunk.data(), 1, got, to) != got) return CopyResult::write_failed;
    if (got < want) return std::ferror(from) != 0 ? CopyResult::read_failed : CopyResult::done;
    count -= got;
  }
  return CopyResult::done;
}

// A full file system often shows only when the buffer is flushed or the
// file closed; the kept part must be on the medium before the old content
// may go.
bool finish_written_file(FILE* file) {
  bool flushed = std::fflush(file) == 0 && fsync(fileno(file)) == 0;
  bool closed = std::fclose(file) == 0;
  return flushed && closed;
}

// Hands the old content to removeFile; its success ends the walk. A
// refusal is said here, where it is seen: removeFile may say nothing.
CutOutcome remove_old_content(const LogDir& dir, const char* name, const char* tmp_path) {
  if (remove_log_file(tmp_path, REASON_CUT_FILE) == 1) return CutOutcome::walk_ends;
  return give_back_old_content(dir, name, "Can not remove file");
}

// Writes the kept part, `count` bytes from the stream's position, under the
// old name and hands the old content to removeFile.
CutOutcome write_kept_part(const LogDir& dir, unique_file old_content, std::uint64_t count, const char* name,
                           const char* tmp_path) {
  // A file that appeared under the old name meanwhile is not ours.
  unique_file kept = log_dir_create_new(dir, name);
  if (!kept) return give_back_old_content(dir, name, "Can not open file");
  CopyResult copied = copy_kept(old_content.get(), kept.get(), count);
  bool written = finish_written_file(kept.release()) && copied == CopyResult::done;
  old_content.reset();
  if (written) return remove_old_content(dir, name, tmp_path);
  return give_back_old_content(dir, name,
                               copied == CopyResult::read_failed ? "Can not read file" : "Can not write into file");
}

// Cuts the head of an opened regular file of `size`: moves the entry to its
// temporary name, then copies the kept part from the descriptor that was
// measured, whatever the name may meanwhile point at. Under the release
// lock nothing is read beyond one line and what the file holds: a kept
// part longer than that has holes, which no log file the daemon appends
// to has, and would be read as zeros, a terabyte of them in a planted
// sparse file. Such a file goes whole.
CutOutcome cut_open_file(const LogDir& dir, const char* name, unique_file old_content, const FileSize& size,
                         std::uint64_t cut_remaining) {
  PathBuffer tmp_path;
  if (!log_dir_script_path(dir, name, tmp_path, TMP_SUFFIX)) return CutOutcome::walk_goes_on;
  if (!log_dir_move_to_tmp(dir, name)) {
    log_msg(LOG_NOTICE, "Can not rename file to tmp");
    return CutOutcome::walk_goes_on;
  }
  // From here on every failure gives the old content back.
  if (cut_remaining > INT64_MAX || fseeko(old_content.get(), static_cast<off_t>(cut_remaining), SEEK_SET) != 0) {
    old_content.reset();
    return give_back_old_content(dir, name, "Can not seek file");
  }
  LineEnd line_end = skip_through_line_end(old_content.get());
  off_t kept_from = ftello(old_content.get());
  if (line_end == LineEnd::read_error || kept_from < 0) {
    old_content.reset();
    return give_back_old_content(dir, name, "Can not read file");
  }
  std::uint64_t kept = size.length - std::min(size.length, static_cast<std::uint64_t>(kept_from));
  // No whole line after the offset, or a kept part with holes: the file
  // goes whole.
  if (line_end == LineEnd::none || kept == 0 || kept > size.held) {
    old_content.reset();
    return remove_old_content(dir, name, tmp_path.data());
  }
  return write_kept_part(dir, std::move(old_content), kept, name, tmp_path.data());
}

// One name of the walk: skipped, removed whole, or cut at a line end.
CutOutcome trim_one(const LogDir& dir, const char* ready_name, const char* name, std::uint64_t* cut_remaining) {
  if (std::strcmp(name, ready_name) > 0) return CutOutcome::walk_goes_on;
  PathBuffer path;
  PathBuffer tmp_path;
  if (!log_dir_script_path(dir, name, path) || !log_dir_script_path(dir, name, tmp_path, TMP_SUFFIX))
    return CutOutcome::walk_goes_on;
  // The size, and a cut's copy, come from this one descriptor: what is
  // measured is what is cut. A link, a FIFO or a device is never opened.
  unique_file content = log_dir_open_read(dir, name);
  FileSize size{};
  if (!content || !measure(content.get(), &size)) return CutOutcome::walk_goes_on;
  if (size.held == 0) return CutOutcome::walk_goes_on;  // empty, or all holes: nothing to gain
  if (size.held > *cut_remaining) return cut_open_file(dir, name, std::move(content), size, *cut_remaining);
  content.reset();
  if (remove_log_file(path.data(), REASON_WHOLE_FILE) == 1) *cut_remaining -= size.held;
  return CutOutcome::walk_goes_on;
}

}  // namespace

bool storage_use_percent(const LogDir& dir, std::uint64_t* percent) {
  int dir_fd = dir.fd.get();
  if (!is_volatile_dir(dir.path.data())) return use_of(dir_fd, Source::file_system, percent);
  // The volatile directory fills RAM, and a tmpfs of its own besides: the
  // fuller of the two decides, and one known use is enough.
  std::uint64_t ram = 0;
  std::uint64_t file_system = 0;
  bool ram_known = use_of(dir_fd, Source::ram, &ram);
  bool file_system_known = is_own_tmpfs(dir_fd) && use_of(dir_fd, Source::file_system, &file_system);
  if (!ram_known && !file_system_known) return false;
  *percent = std::max(ram_known ? ram : 0, file_system_known ? file_system : 0);
  return true;
}

void trim_storage(const LogDir& dir, const char* ready_name) {
  std::uint64_t percent = 0;
  if (!storage_use_percent(dir, &percent) || percent < TRIM_THRESHOLD_PERCENT) return;
  trim_released_files(dir, ready_name, share_to_cut(log_dir_total_size(dir, ready_name, held_size)));
}

void trim_released_files(const LogDir& dir, const char* ready_name, std::uint64_t cut_remaining) {
  FileList names = log_dir_list(dir, ready_name);
  if (!names) {
    log_msg(LOG_NOTICE, "Can not list directory");
    return;
  }
  // The listing is in directory order, not by age: released files are all
  // old enough to go, and sorting 999 names buys nothing.
  for (char** name = names.get(); cut_remaining > 0 && *name != nullptr; ++name) {
    if (trim_one(dir, ready_name, *name, &cut_remaining) == CutOutcome::walk_ends) break;
  }
}

CutOutcome cut_file_head(const LogDir& dir, const char* name, std::uint64_t cut_remaining) {
  unique_file content = log_dir_open_read(dir, name);
  FileSize size{};
  if (!content || !measure(content.get(), &size)) {
    log_msg(LOG_NOTICE, "Can not open file");
    return CutOutcome::walk_goes_on;
  }
  return cut_open_file(dir, name, std::move(content), size, cut_remaining);
}
