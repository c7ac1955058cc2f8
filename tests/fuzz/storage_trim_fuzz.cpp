// Fuzzes the trim walk (trim_released_files, and cut_file_head through it)
// on a real directory. Each input decodes into a released name, a byte
// budget, a few log files around the released name (some ".tmp" leftovers,
// some names full of shell metacharacters, a symbolic link to a file
// outside the directory, a subdirectory) with random lines, and a verdict
// for each call of a recording removeFile script: remove and succeed, fail
// without removing, succeed without removing, or remove and still fail.
//
// Checked after every walk:
// - removeFile only ever gets a released regular file with "storage_full",
//   or its new ".tmp" name with "storage_full_tmp", each path exactly as
//   one argument; nothing in a name is run by the shell;
// - nothing is called after a cut whose removal succeeded (the walk ends);
// - names after the released one, links, their targets and directories are
//   byte for byte untouched;
// - what a file keeps is a suffix of its old content that begins just
//   after a line end of it (or the whole old content); bytes vanish only
//   when the script removed the path that held them; a ".tmp" that outlives
//   the walk holds the whole old content;
// - whole files go only while they fit the budget as the walk sees it (an
//   exit status 0 counts as removed), and a cut takes everything up to and
//   including the first line end at or after the budget that is left; a
//   cut never moves a file onto a name in use.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "store/storage_trim_internal.h"
#include "sys/log.h"
#include "sys/paths.h"

namespace {

constexpr unsigned MAX_FILES = 8;
constexpr unsigned MAX_CALLS = 8;
constexpr std::size_t MAX_CONTENT = 512;
const std::string NAME_STEM = "log-2024-03-05-14-07-";

// Tails after NAME_STEM + "0": any of them would run "touch pwned" in the
// script's working directory if a name ever reached the shell unquoted.
const char* const hostile_tails[] = {
    "'$(touch pwned)'", "`touch pwned`", "\";touch pwned;\"", "$(touch pwned)", " x' ;touch pwned; '",
    "\ntouch pwned", "'\\''touch pwned", "|touch pwned&",
};

// Seconds run from 00 to 11, so a ".tmp" leftover often meets its stem.
constexpr unsigned MAX_SECOND = 11;
const char* const ready_names[] = {"log-2024-03-05-14-07-09", "log-2024-03-05-14-07-11",
                                   "log-2024-03-05-14-07-00", ""};

enum class Verdict { remove_ok, fail, keep_ok, remove_fail };
enum class Kind { regular, symlink, directory };

struct Entry {
  Kind kind;
  std::string content;  // regular files
};

struct Call {
  std::string path;
  std::string reason;
  Verdict verdict;
};

struct Scene {
  std::string ready;
  std::uint64_t budget = 0;
  std::array<Verdict, MAX_CALLS> verdicts{};
  std::map<std::string, Entry> entries;
};

std::string root;
std::string log_dir;
LogDir logs;  // the walk's view of log_dir, opened once as the daemon does
std::string calls_dir;
std::string outside_file;
const std::string OUTSIDE_CONTENT = "outside the log directory\n";

void ignore_message(int, const char*) {}

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "storage_trim_fuzz: %s\n", what);
  std::abort();
}

void write_file(const std::string& path, const std::string& content) {
  FILE* file = std::fopen(path.c_str(), "wb");
  check(file != nullptr, "cannot create a file");
  check(std::fwrite(content.data(), 1, content.size(), file) == content.size(), "short write");
  check(std::fclose(file) == 0, "cannot close a file");
}

bool read_file(const std::string& path, std::string* content) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  content->clear();
  std::array<char, 4096> chunk;
  std::size_t got = 0;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0) content->append(chunk.data(), got);
  std::fclose(file);
  return true;
}

bool exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

// Empties a directory of files, links and (empty) subdirectories.
void clear_directory(const std::string& dir) {
  DIR* listing = opendir(dir.c_str());
  check(listing != nullptr, "cannot list a scratch directory");
  std::vector<std::string> names;
  while (const dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(listing);
  for (const std::string& name : names) {
    std::string path = dir + "/" + name;
    if (unlink(path.c_str()) != 0) check(rmdir(path.c_str()) == 0, "cannot clear a scratch entry");
  }
}

// Records every call and then does what the verdict files of that call say.
void write_remove_script() {
  std::string script = root + REMOVE_SCRIPT;
  std::string body =
      "#!/bin/sh\n"
      "calls='" + calls_dir + "'\n"
      "n=0\n"
      "while [ -e \"$calls/path$n\" ]; do n=$((n + 1)); done\n"
      "printf '%s' \"$1\" > \"$calls/path$n\"\n"
      "printf '%s' \"$2\" > \"$calls/reason$n\"\n"
      "[ -e \"$calls/fail$n\" ] && exit 1\n"
      "[ -e \"$calls/keep$n\" ] && exit 0\n"
      "rm -f -- \"$1\"\n"
      "[ -e \"$calls/rmfail$n\" ] && exit 1\n"
      "exit 0\n";
  write_file(script, body);
  check(chmod(script.c_str(), 0755) == 0, "cannot make removeFile executable");
}

void make_dirs(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    check(mkdir(part.c_str(), 0755) == 0 || errno == EEXIST, "cannot make a directory");
    if (slash == std::string::npos) break;
  }
}

// A ".tmp" leftover mostly takes the name of a file already in the scene,
// the case where a cut must not move that file over it.
std::string decode_name(FuzzedDataProvider& input, const std::vector<std::string>& earlier) {
  unsigned second = input.ConsumeIntegralInRange<unsigned>(0, MAX_SECOND);
  std::array<char, 4> digits;
  std::snprintf(digits.data(), digits.size(), "%02u", second);
  switch (input.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
      if (!earlier.empty()) return earlier[second % earlier.size()] + TMP_SUFFIX;
      return NAME_STEM + digits.data() + TMP_SUFFIX;
    case 1: return NAME_STEM + "0" + hostile_tails[second % std::size(hostile_tails)];
    default: return NAME_STEM + digits.data();
  }
}

// Random bytes with a line end in about one place out of eight.
std::string decode_content(FuzzedDataProvider& input) {
  std::string content = input.ConsumeRandomLengthString(MAX_CONTENT);
  for (char& c : content)
    if (static_cast<unsigned char>(c) % 8 == 0) c = '\n';
  return content;
}

Scene decode_scene(FuzzedDataProvider& input) {
  Scene scene;
  scene.ready = ready_names[input.ConsumeIntegralInRange<unsigned>(0, std::size(ready_names) - 1)];
  // Mostly within the size of a file or two, so that cuts happen.
  bool unlimited = input.ConsumeIntegralInRange<int>(0, 7) == 0;
  scene.budget = unlimited ? UINT64_MAX : input.ConsumeIntegralInRange<std::uint64_t>(0, 2 * MAX_CONTENT);
  auto verdict_bits = input.ConsumeIntegral<std::uint16_t>();
  // Mostly honest scripts: a failure of some kind in about one call of four.
  for (unsigned i = 0; i < MAX_CALLS; ++i, verdict_bits = static_cast<std::uint16_t>(verdict_bits >> 2))
    scene.verdicts[i] = (verdict_bits & 3) != 3 ? Verdict::remove_ok
                                                 : static_cast<Verdict>(1 + (verdict_bits >> 2) % 3);
  unsigned files = input.ConsumeIntegralInRange<unsigned>(0, MAX_FILES);
  std::vector<std::string> names;
  for (unsigned i = 0; i < files && input.remaining_bytes() > 0; ++i) {
    std::string name = decode_name(input, names);
    names.push_back(name);
    int shape = input.ConsumeIntegralInRange<int>(0, 9);
    Kind kind = shape == 0 ? Kind::symlink : shape == 1 ? Kind::directory : Kind::regular;
    std::string content = kind == Kind::regular ? decode_content(input) : "";
    scene.entries.emplace(name, Entry{kind, content});
  }
  return scene;
}

void lay_out(const Scene& scene) {
  clear_directory(log_dir);
  clear_directory(calls_dir);
  write_file(outside_file, OUTSIDE_CONTENT);
  for (const auto& [name, entry] : scene.entries) {
    std::string path = log_dir + "/" + name;
    switch (entry.kind) {
      case Kind::regular: write_file(path, entry.content); break;
      case Kind::symlink: check(symlink(outside_file.c_str(), path.c_str()) == 0, "cannot make a link"); break;
      case Kind::directory: check(mkdir(path.c_str(), 0755) == 0, "cannot make a directory"); break;
    }
  }
  for (unsigned i = 0; i < MAX_CALLS; ++i) {
    const char* flag = nullptr;
    switch (scene.verdicts[i]) {
      case Verdict::remove_ok: continue;
      case Verdict::fail: flag = "fail"; break;
      case Verdict::keep_ok: flag = "keep"; break;
      case Verdict::remove_fail: flag = "rmfail"; break;
    }
    write_file(calls_dir + "/" + flag + std::to_string(i), "");
  }
}

std::vector<Call> recorded_calls(const Scene& scene) {
  std::vector<Call> calls;
  for (unsigned n = 0;; ++n) {
    Call call;
    if (!read_file(calls_dir + "/path" + std::to_string(n), &call.path)) break;
    check(read_file(calls_dir + "/reason" + std::to_string(n), &call.reason), "a call without its reason");
    check(n < MAX_CALLS, "more removeFile calls than the walk can need");
    call.verdict = scene.verdicts[n];
    calls.push_back(call);
  }
  return calls;
}

bool exits_zero(Verdict verdict) { return verdict == Verdict::remove_ok || verdict == Verdict::keep_ok; }
bool removes(Verdict verdict) { return verdict == Verdict::remove_ok || verdict == Verdict::remove_fail; }

bool is_released(const Scene& scene, const std::string& name) { return name.compare(scene.ready) <= 0; }

bool is_original_regular(const Scene& scene, const std::string& name) {
  auto found = scene.entries.find(name);
  return found != scene.entries.end() && found->second.kind == Kind::regular;
}

// The name of the log file a call was about, after checking the call's form.
std::string check_call(const Scene& scene, const Call& call) {
  std::string prefix = log_dir + "/";
  check(call.path.compare(0, prefix.size(), prefix) == 0, "removeFile got a path outside the log directory");
  std::string name = call.path.substr(prefix.size());
  if (call.reason == REASON_WHOLE_FILE) {
    check(is_original_regular(scene, name), "removeFile got a name that was no regular file");
    check(!scene.entries.at(name).content.empty(), "removeFile got an empty file");
  } else {
    check(call.reason == REASON_CUT_FILE, "removeFile got an unknown reason");
    std::size_t stem = name.size() - std::strlen(TMP_SUFFIX);
    check(name.size() > std::strlen(TMP_SUFFIX) && name.substr(stem) == TMP_SUFFIX, "a cut without a .tmp name");
    name.resize(stem);
    check(is_original_regular(scene, name), "a cut of a name that was no regular file");
  }
  check(is_released(scene, name), "removeFile got a name after the released one");
  return name;
}

// Where the first line end at or after `offset` leaves a kept part: the
// walk cuts up to and including it, and a line end at the last byte leaves
// nothing to keep. npos when the file goes whole.
std::size_t kept_part_start(const std::string& old, std::uint64_t offset) {
  std::size_t line_end = offset >= old.size() ? std::string::npos : old.find('\n', offset);
  return line_end == std::string::npos || line_end + 1 == old.size() ? std::string::npos : line_end + 1;
}

// Replays the walk's moves from the calls, with the budget as the walk sees
// it (an exit status 0 counts as removed, whatever the script did). Whole
// files go only while they fit, a cut takes everything up to and including
// the first line end at or after what is left, and no cut ever moves a file
// onto a name in use: a ".tmp" there may hold the only copy of some lines.
void replay_walk(const Scene& scene, const std::vector<Call>& calls) {
  std::set<std::string> present;
  for (const auto& [name, entry] : scene.entries) present.insert(log_dir + "/" + name);
  std::uint64_t left = scene.budget;
  for (const Call& call : calls) {
    std::string name = check_call(scene, call);
    const std::string& old = scene.entries.at(name).content;
    if (call.reason == REASON_WHOLE_FILE) {
      check(old.size() <= left, "a whole file went that did not fit the budget");
      if (exits_zero(call.verdict)) left -= old.size();
      if (removes(call.verdict)) present.erase(call.path);
      continue;
    }
    check(old.size() > left, "a file was cut that fitted the budget");
    std::string path = log_dir + "/" + name;
    check(present.count(call.path) == 0, "a cut moved a file over an existing .tmp");
    present.insert(call.path);
    if (kept_part_start(old, left) == std::string::npos) present.erase(path);
    if (removes(call.verdict)) present.erase(call.path);
    if (!exits_zero(call.verdict) && present.count(call.path) != 0) {  // the old content goes back
      present.erase(call.path);
      present.insert(path);
    }
    if (call.verdict == Verdict::remove_ok) {  // the walk's last call: the kept part stays
      std::string kept;
      if (!read_file(path, &kept)) kept.clear();
      std::size_t kept_start = kept_part_start(old, left);
      std::size_t expected_head = kept_start == std::string::npos ? old.size() : kept_start;
      check(old.size() - kept.size() == expected_head, "a cut not just after the first line end past the budget");
    }
  }
}

void check_calls(const Scene& scene, const std::vector<Call>& calls) {
  replay_walk(scene, calls);
  for (std::size_t i = 0; i < calls.size(); ++i) {
    bool cut_done = calls[i].reason == REASON_CUT_FILE && exits_zero(calls[i].verdict);
    check(!cut_done || i + 1 == calls.size(), "the walk went on after a finished cut");
  }
}

const Call* call_for(const std::vector<Call>& calls, const std::string& path, const char* reason) {
  for (const Call& call : calls)
    if (call.path == path && call.reason == reason) return &call;
  return nullptr;
}

void check_untouchables(const Scene& scene) {
  std::string outside;
  check(read_file(outside_file, &outside) && outside == OUTSIDE_CONTENT, "a link target outside was changed");
  check(!exists(root + "/pwned"), "a file name was run by the shell");
  for (const auto& [name, entry] : scene.entries) {
    struct stat info {};
    std::string path = log_dir + "/" + name;
    if (entry.kind == Kind::symlink) check(lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode), "a link went");
    if (entry.kind == Kind::directory) check(lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode), "a dir went");
  }
}

// One regular file: what it keeps, and where its other bytes went.
void check_file(const std::string& name, const std::string& old, const std::vector<Call>& calls, bool released) {
  std::string path = log_dir + "/" + name;
  std::string kept;
  bool present = read_file(path, &kept);
  if (!released) {
    check(present && kept == old, "a file after the released name was changed");
    return;
  }
  const Call* whole = call_for(calls, path, REASON_WHOLE_FILE);
  const Call* cut = call_for(calls, path + TMP_SUFFIX, REASON_CUT_FILE);
  bool removed_whole = whole != nullptr && removes(whole->verdict);
  // An old ".tmp" removed whole may since have become the temporary name of
  // a cut of its stem, and may still hold the stem's old content when the
  // script said it removed it but did not; that is checked with the stem.
  if (removed_whole && call_for(calls, path, REASON_CUT_FILE) != nullptr) return;
  check(kept.size() <= old.size() && old.compare(old.size() - kept.size(), kept.size(), kept) == 0,
        "kept bytes are no suffix of the old content");
  std::size_t head = old.size() - kept.size();
  check(head == 0 || kept.empty() || old[head - 1] == '\n', "a kept part does not begin with a whole line");
  std::string tmp_content;
  bool tmp_left = cut != nullptr && read_file(path + TMP_SUFFIX, &tmp_content);
  check(!tmp_left || (cut->verdict == Verdict::keep_ok && tmp_content == old),
        "a .tmp outlived the walk without holding the whole old content");
  if (head == 0) return;
  bool removed_cut = cut != nullptr && (removes(cut->verdict) || tmp_left);
  check(removed_whole || removed_cut, "bytes vanished that removeFile never removed");
  check(!present || cut != nullptr, "a file lost its head without a cut");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  log_set_capture(ignore_message);
  const char* tmp = std::getenv("TMPDIR");
  std::string base = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/storage_trim_fuzz.XXXXXX";
  check(mkdtemp(base.data()) != nullptr, "cannot make a scratch root");
  root = base;
  check(paths_set_root(root.c_str()), "root too long");
  log_dir = root + "/logs";
  calls_dir = root + "/calls";
  outside_file = root + "/outside";
  make_dirs(log_dir);
  check(log_dir_open(logs, log_dir.c_str()), "cannot open the log directory");
  make_dirs(calls_dir);
  make_dirs(root + "/opt/meterscribe/etc");
  write_remove_script();
  // The script runs in our working directory: a name that reached the
  // shell would leave "pwned" here.
  check(chdir(root.c_str()) == 0, "cannot enter the scratch root");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  Scene scene = decode_scene(input);
  lay_out(scene);
  trim_released_files(logs, scene.ready.c_str(), scene.budget);
  std::vector<Call> calls = recorded_calls(scene);
  check_calls(scene, calls);
  check_untouchables(scene);
  for (const auto& [name, entry] : scene.entries)
    if (entry.kind == Kind::regular) check_file(name, entry.content, calls, is_released(scene, name));
  return 0;
}
