#include "support/reliability.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

#include "support/crc16_reference.h"
#include "support/daemon_process.h"
#include "support/temp_root.h"

int test_slow_factor() {
  const char* text = std::getenv("METERSCRIBE_TEST_SLOW");
  int factor = text != nullptr ? std::atoi(text) : 1;
  return factor > 1 ? factor : 1;
}

std::chrono::milliseconds slow(std::chrono::milliseconds limit) { return limit * test_slow_factor(); }

bool wait_until(const std::function<bool()>& ready, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + slow(limit);
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

TmpfsMount::TmpfsMount(const std::string& path, unsigned size_kib) : path_(path), size_kib_(size_kib) {
  if (geteuid() != 0) {
    why_not_ = "mounting a tmpfs needs root";
    return;
  }
  ::mkdir(path.c_str(), 0755);
  std::string options = "size=" + std::to_string(size_kib) + "k,mode=0755";
  if (::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) != 0) {
    why_not_ = std::string("mount tmpfs: ") + std::strerror(errno);
    return;
  }
  mounted_ = true;
}

TmpfsMount::~TmpfsMount() {
  if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
}

bool TmpfsMount::set_read_only(bool read_only) {
  std::string options = "size=" + std::to_string(size_kib_) + "k,mode=0755";
  unsigned long flags = MS_REMOUNT | (read_only ? MS_RDONLY : 0);
  return ::mount("tmpfs", path_.c_str(), "tmpfs", flags, options.c_str()) == 0;
}

unsigned TmpfsMount::use_percent() const {
  struct statvfs stats {};
  if (statvfs(path_.c_str(), &stats) != 0 || stats.f_blocks == 0) return 0;
  return static_cast<unsigned>((stats.f_blocks - stats.f_bavail) * 100 / stats.f_blocks);
}

std::string meter_settings(const std::string& device, unsigned meters, const std::string& first_lines) {
  // The first line with a key wins: the caller's lines come first.
  std::string text = first_lines + "MOD_METERSCRIBE_DEVICE=" + device +
                     "\nMOD_METERSCRIBE_BAUDRATE=38400\nMOD_METERSCRIBE_SPLIT=100\nMOD_METERSCRIBE_PERIOD=0\n";
  for (unsigned i = 1; i <= meters; ++i) {
    std::string n = std::to_string(i);
    text += "MOD_METERSCRIBE_ADDR" + n + "=" + n + "\nMOD_METERSCRIBE_FUNC" + n + "=3\nMOD_METERSCRIBE_START" + n +
            "=0\nMOD_METERSCRIBE_REG_COUNT" + n + "=6\n";
  }
  return text;
}

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool is_valid_log_line(const std::string& line) {
  if (line.size() < 2 || line[0] != 'm') return false;
  std::size_t colon = line.find(':');
  if (colon == std::string::npos || colon < 2 || line.size() < colon + 21 || line[colon + 20] != ':') return false;
  std::vector<unsigned> bytes;
  for (std::size_t at = colon + 21; at < line.size(); at += 3) {
    if (at + 3 > line.size() || line[at + 2] != ' ') return false;
    int high = hex_digit(line[at]);
    int low = hex_digit(line[at + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<unsigned>(high * 16 + low));
  }
  // Address, function, byte count, data, CRC low byte first.
  if (bytes.size() < 5 || bytes.size() != 5 + bytes[2]) return false;
  return crc16_reference(bytes, bytes.size() - 2) == bytes[bytes.size() - 2] + 256 * bytes[bytes.size() - 1];
}

std::vector<std::string> complete_lines(const std::string& text, std::string* tail) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (tail != nullptr) *tail = text.substr(start);
  return lines;
}

std::vector<std::string> directory_names(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

long controlling_tty(pid_t pid) {
  std::string stat = read_whole_file("/proc/" + std::to_string(pid) + "/stat");
  // The command name may hold blanks; state, parent, group, session and
  // the terminal follow it.
  std::size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos) return -1;
  char state = 0;
  long parent = 0, group = 0, session = 0, tty = -1;
  if (std::sscanf(stat.c_str() + name_end + 1, " %c %ld %ld %ld %ld", &state, &parent, &group, &session, &tty) != 5)
    return -1;
  return tty;
}

long cpu_ticks(pid_t pid) {
  std::string stat = read_whole_file("/proc/" + std::to_string(pid) + "/stat");
  // The command name may hold blanks; the fields after it are plain.
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  long utime = -1;
  long stime = -1;
  // Field 3 (state) is the first after the name; utime and stime are 14 and 15.
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14) utime = std::atol(field.c_str());
    if (number == 15) stime = std::atol(field.c_str());
  }
  return utime < 0 || stime < 0 ? -1 : utime + stime;
}

std::string faketime_library() {
  for (const char* candidate :
       {"/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1", "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
        "/usr/lib/arm-linux-gnueabihf/faketime/libfaketime.so.1", "/usr/lib/faketime/libfaketime.so.1",
        "/usr/local/lib/faketime/libfaketime.so.1"}) {
    if (access(candidate, R_OK) == 0) return candidate;
  }
  return "";
}

std::string asan_options_for_preload() {
  const char* asan = std::getenv("ASAN_OPTIONS");
  return std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
}

std::vector<std::string> all_log_lines(const std::string& log_dir) {
  std::vector<std::string> lines;
  for (const std::string& name : directory_names(log_dir)) {
    if (name.rfind("log-", 0) != 0) continue;
    // Only regular files: a FIFO, a device or a link under a log name is
    // not the daemon's, and opening it could block or read elsewhere.
    struct stat info {};
    std::string path = log_dir + "/" + name;
    if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    std::vector<std::string> more = complete_lines(read_whole_file(path));
    lines.insert(lines.end(), more.begin(), more.end());
  }
  return lines;
}

ExchangeCounts count_exchanges(const std::string& messages) {
  ExchangeCounts counts;
  counts.started = count_occurrences(messages, "starting read meter ");
  counts.unanswered = count_occurrences(messages, "no answer from meter ");
  counts.read_errors = count_occurrences(messages, " read error\n");
  counts.lost_writes =
      count_occurrences(messages, "Can not create file") + count_occurrences(messages, "Can not write into file");
  return counts;
}
