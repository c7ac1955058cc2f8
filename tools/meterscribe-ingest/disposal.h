// What becomes of a delivered file once everything in it is in the
// database: it stays (the default), is moved to an archive, or is removed.
// A file that failed to load is never handed here.
//
// A server may still be writing a file in place when it is loaded, so a
// file goes only when it has settled (no write for the settle time, by its
// status change time, which every write moves and no client can set back)
// and holds exactly what was loaded: it is read again and hashed at
// disposal. Otherwise it stays for a later pass, which loads the rest.
#pragma once

#include <cstdint>
#include <string>

enum class DisposalKind { keep, archive, remove };

struct Disposal {
  DisposalKind kind = DisposalKind::keep;
  std::string directory;  // the archive's root, for DisposalKind::archive
  unsigned settle_s = 60;
};

// What the load read of a file.
struct LoadedContent {
  std::uint64_t size;
  std::string sha256;  // 64 lowercase hex digits
};

enum class DisposalResult {
  done,       // kept, archived or removed as asked
  unsettled,  // written to within the settle time, or changed since it was loaded: it stays
  failed,     // it could not be moved or removed: it stays
};

// The delivered file `path`, of `gateway`, named `name`. Archived, it goes
// to <directory>/<gateway>/<name>; a file of that name already there is
// never replaced: the first free of <name>.1, <name>.2, ... is taken
// instead. `wait_s` gets, for unsettled, the seconds after which the file
// may have settled; `error`, for failed, why it is where it was.
DisposalResult dispose_loaded(const Disposal& disposal, const std::string& gateway, const std::string& path,
                              const std::string& name, const LoadedContent& loaded, unsigned& wait_s,
                              std::string& error);
