#include "disposal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sys/unique_fd.h"

namespace {

// Names tried before the archive directory counts as full of this name.
constexpr unsigned MAX_SUFFIX = 999;

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

// Moves `from` to the first free name of `base`, `base`.1, ... with
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

bool write_all(int fd, const std::string& content) {
  for (std::size_t at = 0; at < content.size();) {
    ssize_t wrote = write(fd, content.data() + at, content.size() - at);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    at += static_cast<std::size_t>(wrote);
  }
  return fsync(fd) == 0;
}

// The archive on another file system: the content, which was just read,
// is written to a hidden file beside the target and linked into place, so
// the name appears only with the whole content, and never over another.
bool copy_into_archive(const std::string& path, const std::string& base, const std::string& content,
                       std::string& error) {
  std::string temporary = base.substr(0, base.rfind('/') + 1) + ".archiving";
  unique_fd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) return fail(error, "cannot create " + temporary);
  bool placed = write_all(fd.get(), content) || fail(error, "cannot write " + temporary);
  placed = placed && place_at_free_name(
                         base,
                         [&temporary](const std::string& target) {
                           return link(temporary.c_str(), target.c_str()) == 0;
                         },
                         error);
  unlink(temporary.c_str());
  if (placed && unlink(path.c_str()) != 0) return fail(error, "archived, but cannot remove " + path);
  return placed;
}

bool same_file_system(const std::string& path, const std::string& directory, bool& same, std::string& error) {
  struct stat file {};
  struct stat target {};
  if (stat(path.c_str(), &file) != 0) return fail(error, "cannot stat " + path);
  if (stat(directory.c_str(), &target) != 0) return fail(error, "cannot stat " + directory);
  same = file.st_dev == target.st_dev;
  return true;
}

bool archive(const std::string& directory, const std::string& gateway, const std::string& path,
             const std::string& name, const std::string& content, std::string& error) {
  std::string gateway_directory = directory + "/" + gateway;
  bool same = false;
  if (!make_directory(directory, error) || !make_directory(gateway_directory, error) ||
      !same_file_system(path, gateway_directory, same, error))
    return false;
  std::string base = gateway_directory + "/" + name;
  if (!same) return copy_into_archive(path, base, content, error);
  return place_at_free_name(
      base,
      [&path](const std::string& target) {
        return renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0;
      },
      error);
}

}  // namespace

bool dispose_loaded(const Disposal& disposal, const std::string& gateway, const std::string& path,
                    const std::string& name, const std::string& content, std::string& error) {
  switch (disposal.kind) {
    case DisposalKind::keep: return true;
    case DisposalKind::archive: return archive(disposal.directory, gateway, path, name, content, error);
    case DisposalKind::remove: return unlink(path.c_str()) == 0 || fail(error, "cannot remove " + path);
  }
  return true;
}
