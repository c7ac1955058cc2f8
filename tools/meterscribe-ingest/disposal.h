// What becomes of a delivered file once everything in it is in the
// database: it stays (the default), is moved to an archive, or is removed.
// A file that failed to load is never handed here.
#pragma once

#include <string>

enum class DisposalKind { keep, archive, remove };

struct Disposal {
  DisposalKind kind = DisposalKind::keep;
  std::string directory;  // the archive's root, for DisposalKind::archive
};

// The delivered file `path`, of `gateway`, named `name` and holding
// `content`. Archived, it goes to <directory>/<gateway>/<name>; a file of
// that name already there is never replaced: the first free of <name>.1,
// <name>.2, ... is taken instead. False with `error` set when the file
// could not be moved or removed; it is then where it was.
bool dispose_loaded(const Disposal& disposal, const std::string& gateway, const std::string& path,
                    const std::string& name, const std::string& content, std::string& error);
