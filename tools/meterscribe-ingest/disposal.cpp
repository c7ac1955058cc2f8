#include "disposal.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "file_rows.h"
#include "sha256.h"
#include "sys/unique_fd.h"
#include "sys/unique_file.h"

namespace {

// Names tried before the archive directory counts as full of this name.
constexpr unsigned MAX_SUFFIX = 999;
// Temporary names tried before the archive directory counts as unusable.
constexpr unsigned MAX_TEMPORARY = 100;

bool fail(std::string& error, const std::string& doing) {
  error = doing + ": " + std::strerror(errno);
  return false;
}

std::string candidate(const std::string& base, unsigned suffix) {
  return suffix == 0 ? base : base + "." + std::to_string(suffix);
}

bool make_directory(const std::string& path, std::string& error) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  return fail(error, "cannot create " + path);
}

// Moves the file to the first free name of `base`, `base`.1, ... with
// `place`, which must fail with EEXIST rather than replace a file.
template <typename Place>
bool place_at_free_name(const std::string& base, Place place, std::string& error) {
  for (unsigned suffix = 0; suffix <= MAX_SUFFIX; ++suffix) {
    if (place(candidate(base, suffix))) return true;
    if (errno != EEXIST) return fail(error, "cannot archive as " + candidate(base, suffix));
  }
  errno = EEXIST;
  return fail(error, "cannot archive as " + base + " (up to ." + std::to_string(MAX_SUFFIX) + ")");
}

// The delivered file as opened for disposal, by the log directory's own
// rule: never through a link, and only a regular file.
struct Opened {
  unique_file stream;
  int fd = -1;
  struct stat status {};
  bool missing = false;  // nothing under the name
};

bool open_delivered(const std::string& path, Opened& file, std::string& error) {
  file.stream = open_delivered_file(path);
  file.missing = !file.stream && errno == ENOENT;
  if (!file.stream) return fail(error, "cannot open " + path);
  file.fd = fileno(file.stream.get());
  if (fstat(file.fd, &file.status) != 0) return fail(error, "cannot stat " + path);
  return true;
}

// Seconds until the file has gone `settle_s` without a write; 0 once it
// has. A status change time ahead of the clock (the clock was set back)
// counts as a write just now.
unsigned unsettled_for(const struct stat& status, unsigned settle_s) {
  long long age = static_cast<long long>(std::time(nullptr)) - static_cast<long long>(status.st_ctim.tv_sec);
  if (age >= static_cast<long long>(settle_s)) return 0;
  return age <= 0 ? settle_s : settle_s - static_cast<unsigned>(age);
}

bool same_status(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool write_all(int fd, const char* data, std::size_t size) {
  for (std::size_t at = 0; at < size;) {
    ssize_t wrote = write(fd, data + at, size - at);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    at += static_cast<std::size_t>(wrote);
  }
  return true;
}

// Reads the whole file, hashing it and, with `copy` >= 0, writing it
// there too. `loaded` tells whether it is what the load read, and whether
// nothing wrote to it meanwhile.
bool read_through(const std::string& path, Opened& file, int copy, const LoadedContent& loaded, bool& same,
                  std::string& error) {
  Sha256 hash;
  char buffer[1 << 16];
  for (;;) {
    ssize_t got = read(file.fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return fail(error, "cannot read " + path);
    if (got == 0) break;
    auto size = static_cast<std::size_t>(got);
    sha256_add(hash, reinterpret_cast<const std::uint8_t*>(buffer), size);
    if (copy >= 0 && !write_all(copy, buffer, size)) return fail(error, "cannot copy " + path);
  }
  struct stat after {};
  if (fstat(file.fd, &after) != 0) return fail(error, "cannot stat " + path);
  same = same_status(file.status, after) && hash.size == loaded.size && sha256_end(hash) == loaded.sha256;
  return true;
}

// A hidden name in `directory` with the process and a random number in
// it, which no other tool picks.
std::string hidden_name(const std::string& directory, const char* purpose, unsigned attempt) {
  std::uint64_t random = 0;
  if (getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
    random = static_cast<std::uint64_t>(std::time(nullptr)) * 2654435761u + attempt;
  char name[64];
  std::snprintf(name, sizeof name, "/.%s.%ld.%016llx", purpose, static_cast<long>(getpid()),
                static_cast<unsigned long long>(random));
  return directory + name;
}

// Takes the checked file away from its name in one step, to a hidden name
// beside it, so what is then removed or archived is that file and never
// one a server renamed over the name meanwhile; such a file is put back.
// False with `error` set when the file cannot be taken, or another file
// was taken and cannot be put back (it is then under `taken`).
bool take_checked(const std::string& path, const Opened& file, std::string& taken, bool& ours, std::string& error) {
  std::string directory = path.substr(0, path.rfind('/'));
  for (unsigned attempt = 0; attempt < MAX_TEMPORARY; ++attempt) {
    taken = hidden_name(directory, "disposing", attempt);
    if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, taken.c_str(), RENAME_NOREPLACE) == 0) break;
    if (errno != EEXIST) return fail(error, "cannot take " + path);
  }
  struct stat now {};
  ours = lstat(taken.c_str(), &now) == 0 && now.st_dev == file.status.st_dev && now.st_ino == file.status.st_ino;
  if (ours || renameat2(AT_FDCWD, taken.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return true;
  return fail(error, "a file renamed over " + path + " meanwhile is now " + taken);
}

// A temporary name in the archive's directory that no one else holds:
// made with O_EXCL (and O_NOFOLLOW, so a link planted there is never
// followed), so two tools archiving at once each write their own copy.
unique_fd create_temporary(const std::string& directory, std::string& temporary, std::string& error) {
  for (unsigned attempt = 0; attempt < MAX_TEMPORARY; ++attempt) {
    temporary = hidden_name(directory, "archiving", attempt);
    unique_fd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd.valid() || errno != EEXIST) {
      if (!fd.valid()) fail(error, "cannot create " + temporary);
      return fd;
    }
  }
  fail(error, "cannot create a temporary file in " + directory);
  return unique_fd();
}

// The archive on another file system: the content is copied, as it is
// hashed, to a temporary file beside the target and linked into place, so
// the name appears only with the whole content, and never over another.
DisposalResult copy_into_archive(const std::string& path, Opened& file, const std::string& base,
                                 const LoadedContent& loaded, std::string& error) {
  std::string temporary;
  unique_fd copy = create_temporary(base.substr(0, base.rfind('/')), temporary, error);
  if (!copy.valid()) return DisposalResult::failed;
  bool same = false;
  bool copied = read_through(path, file, copy.get(), loaded, same, error) &&
                (fsync(copy.get()) == 0 || fail(error, "cannot write " + temporary));
  std::string taken;
  bool ours = false;
  DisposalResult result = !copied ? DisposalResult::failed : same ? DisposalResult::done : DisposalResult::unsettled;
  if (result == DisposalResult::done && !take_checked(path, file, taken, ours, error)) result = DisposalResult::failed;
  if (result == DisposalResult::done && !ours) result = DisposalResult::unsettled;
  if (result == DisposalResult::done &&
      !place_at_free_name(
          base, [&temporary](const std::string& target) { return link(temporary.c_str(), target.c_str()) == 0; },
          error)) {
    result = DisposalResult::failed;
    renameat2(AT_FDCWD, taken.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);  // back for the next pass
  }
  unlink(temporary.c_str());
  if (result == DisposalResult::done && unlink(taken.c_str()) != 0) {
    fail(error, "archived, but cannot remove " + taken);
    result = DisposalResult::failed;
  }
  return result;
}

bool directory_device(const std::string& directory, dev_t& device, std::string& error) {
  struct stat status {};
  if (stat(directory.c_str(), &status) != 0) return fail(error, "cannot stat " + directory);
  device = status.st_dev;
  return true;
}

// The file, read through once more, still holds what was loaded: it is
// taken off its name (`taken`) for the disposal. done when it was taken.
DisposalResult take_if_unchanged(const std::string& path, Opened& file, const LoadedContent& loaded,
                                 std::string& taken, std::string& error) {
  bool same = false;
  if (!read_through(path, file, -1, loaded, same, error)) return DisposalResult::failed;
  if (!same) return DisposalResult::unsettled;
  bool ours = false;
  if (!take_checked(path, file, taken, ours, error)) return DisposalResult::failed;
  return ours ? DisposalResult::done : DisposalResult::unsettled;
}

DisposalResult archive(const std::string& directory, const std::string& gateway, const std::string& path,
                       const std::string& name, Opened& file, const LoadedContent& loaded, std::string& error) {
  std::string gateway_directory = directory + "/" + gateway;
  dev_t device = 0;
  if (!make_directory(directory, error) || !make_directory(gateway_directory, error) ||
      !directory_device(gateway_directory, device, error))
    return DisposalResult::failed;
  std::string base = gateway_directory + "/" + name;
  if (device != file.status.st_dev) return copy_into_archive(path, file, base, loaded, error);
  std::string taken;
  DisposalResult taking = take_if_unchanged(path, file, loaded, taken, error);
  if (taking != DisposalResult::done) return taking;
  bool placed = place_at_free_name(
      base,
      [&taken](const std::string& target) {
        return renameat2(AT_FDCWD, taken.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0;
      },
      error);
  if (!placed) renameat2(AT_FDCWD, taken.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);  // for the next pass
  return placed ? DisposalResult::done : DisposalResult::failed;
}

DisposalResult remove_loaded(const std::string& path, Opened& file, const LoadedContent& loaded, std::string& error) {
  std::string taken;
  DisposalResult taking = take_if_unchanged(path, file, loaded, taken, error);
  if (taking != DisposalResult::done) return taking;
  if (unlink(taken.c_str()) != 0) return fail(error, "cannot remove " + taken), DisposalResult::failed;
  return DisposalResult::done;
}

}  // namespace

DisposalResult dispose_loaded(const Disposal& disposal, const std::string& gateway, const std::string& path,
                              const std::string& name, const LoadedContent& loaded, unsigned& wait_s,
                              std::string& error) {
  if (disposal.kind == DisposalKind::keep) return DisposalResult::done;
  Opened file;
  // Gone already: another tool on the same tree archived or removed it.
  if (!open_delivered(path, file, error))
    return file.missing ? DisposalResult::done : DisposalResult::failed;
  wait_s = unsettled_for(file.status, disposal.settle_s);
  if (wait_s != 0) return DisposalResult::unsettled;
  // Changed between the load and now: the next pass loads what is new.
  wait_s = disposal.settle_s != 0 ? disposal.settle_s : 1;
  error.clear();
  if (disposal.kind == DisposalKind::archive)
    return archive(disposal.directory, gateway, path, name, file, loaded, error);
  return remove_loaded(path, file, loaded, error);
}
