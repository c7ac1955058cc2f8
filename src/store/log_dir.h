// The log directory: the one owner of its entries.
//
// The directory is opened at start-up and held as a descriptor, and opened
// again under the same rules only when its path comes to name another
// directory (log_dir_recheck). Every operation on its entries goes through
// this unit and names an entry relative to that descriptor: listing the regular
// files, finding the newest log file, sizing, opening for appending,
// reading or creating, moving to and from the temporary name of a head cut,
// and composing the full path that a script is handed. The log store, the
// upload thread and the storage trimming use nothing else. Nothing here
// logs: callers know which message a failure costs.
//
// The directory may sit on a memory card that anybody can prepare, and the
// daemon runs as root: only regular files are ever opened, written or read
// here, never through a symbolic link, and no open can block (a FIFO) or
// give the daemon a controlling terminal (a terminal device).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <sys/stat.h>
#include <sys/types.h>

#include "sys/paths.h"
#include "sys/unique_fd.h"
#include "sys/unique_file.h"

// Log file names: "log-YYYY-MM-DD-hh-mm-ss" of the local time at which the
// file was begun, so that the byte order of names is their order in time.
constexpr unsigned LOG_NAME_LEN = 23;
constexpr std::size_t LOG_NAME_SIZE = LOG_NAME_LEN + 1;
using LogName = char[LOG_NAME_SIZE];

// A cut file's old content waits under its name with this suffix.
constexpr const char* TMP_SUFFIX = ".tmp";

constexpr unsigned LIST_SLOTS = 1000;  // 999 names and the terminating null

// One thread's hold on the log directory. Each thread that works in the
// directory holds its own, so that one can open the directory again while
// the other goes on with the descriptor it holds.
struct LogDir {
  unique_fd fd;     // the directory; -1 when it could not be opened
  PathBuffer path;  // as scripts and messages name it
  // How it was opened, so that it is opened again under the same rules:
  // below `base` (the part `relative`), or by its path when base is "".
  PathBuffer base{};
  PathBuffer relative{};
  dev_t device = 0;  // the directory held, as stat tells it apart
  ino_t inode = 0;
};

// Opens `path` as the log directory. False when it cannot be opened as a
// directory; the path is kept either way, and every operation on an
// unopened directory finds it empty and opens nothing.
bool log_dir_open(LogDir& dir, const char* path);

// Why a log directory was not opened. A trusted directory (the volatile
// one, opened with log_dir_open) only ever gives not_opened; the others
// tell the shapes refused below a trusted base.
enum class DirRefusal {
  none,           // opened
  not_opened,     // a trusted directory could not be opened, for any reason; errno tells
  missing,        // some component does not exist
  symbolic_link,  // some component is a symbolic link
  not_directory,  // some component is no directory
  above_base,     // ".." climbs above the base
  unusable,       // any other failure; errno tells
};

// Opens `relative` below the trusted directory `base` as the log directory:
// no component may be a symbolic link, and ".." may not climb above the
// base. A file system mounted below the base is entered: only root mounts
// one there, so it is the gateway's choice, never the card's. Leading
// slashes of `relative` are ignored; an empty one is the base itself.
// `path` is how scripts and messages name the directory. The kernel's
// resolution and the walk of kernels without it give the same verdict.
DirRefusal log_dir_open_below(LogDir& dir, const char* base, const char* relative, const char* path);

// A second hold on the directory that `from` holds, under the same rules,
// for another thread. When the descriptor cannot be duplicated the copy
// holds nothing, and its first log_dir_recheck opens it.
void log_dir_copy(LogDir& copy, const LogDir& from);

// What log_dir_recheck found.
enum class DirCheck {
  same,      // the path names the directory held (or, held by none, still none that may be opened)
  reopened,  // the path named another directory, which is now held
  lost,      // the path names none that may be opened now; nothing is held
};

// Whether the path still names the directory held, as the scripts handed
// it would find it: when it names another (a remount, a file system
// mounted over it) or none, the path is opened again under the rules it
// was first opened with. *refusal tells why when lost. Costs a stat while
// nothing has changed.
DirCheck log_dir_recheck(LogDir& dir, DirRefusal* refusal);

// True for a name of the log-file form: LOG_NAME_LEN characters, "log-" and
// the six date and time fields of digits separated by '-'.
bool is_log_name(const char* name);

// True for a log-form name whose fields are a calendar time: a month of the
// year, a day of that month, an hour, minute and second of a day. A name
// such as "log-9999-99-99-99-99-99" has the form but names no time; no
// clock ever began such a file.
bool is_log_time_name(const char* name);

// A null-ended array of at most 999 separately allocated names; it frees
// every name and itself.
struct FileListDeleter {
  void operator()(char** list) const;
};
using FileList = std::unique_ptr<char*, FileListDeleter>;

// The bare names of the regular files that sort at or before `upto` (the
// released name), in directory order, at most 999. Nothing else can be
// sent or trimmed, so nothing else takes up room in the list: files that
// sort after the released name, however many, never hide the released
// ones. Entries whose type the file system does not report are checked
// with lstat; symbolic links are never listed. A directory that cannot be read
// gives an empty list; null only when the array cannot be allocated. When a
// name cannot be copied for want of memory, the list ends with the names
// copied so far.
FileList log_dir_list(const LogDir& dir, const char* upto);

// Calls visit(name, context) for every regular file, in directory order, as
// log_dir_list judges them but without its bound or its cap of 999 names: the tools and
// the server must see every file, however long the uplink was down. False,
// with errno set, when the directory could not be read to its end; the
// names visited before stand. A directory that was never opened has no
// files.
using FileVisitor = void (*)(const char* name, void* context);
bool log_dir_each_file(const LogDir& dir, FileVisitor visit, void* context);

// The same with any callable taking the name.
template <typename Visit>
bool log_dir_each_file(const LogDir& dir, Visit visit) {
  return log_dir_each_file(
      dir, [](const char* name, void* context) { (*static_cast<Visit*>(context))(name); }, &visit);
}

// The greatest name of a calendar time (is_log_time_name) among the regular
// files that sorts at or before `latest`, or "" when there is none. Every
// entry is looked at but nothing is allocated.
void log_dir_newest_log_name(const LogDir& dir, LogName& newest, const char* latest);

// How one regular file counts toward a total: its length by default.
using FileSizeRule = std::uint64_t (*)(const struct stat& info);
std::uint64_t file_length(const struct stat& info);

// Total size in bytes of the regular files that log_dir_list gives for the
// same bound, each counted by `size_rule`; 0 when it cannot be computed.
// 64 bits: no wrap.
std::uint64_t log_dir_total_size(const LogDir& dir, const char* upto, FileSizeRule size_rule = file_length);

// The full path of an entry, with `suffix` appended, as a script is handed
// it. False, leaving an empty text, when the path would not fit PATH_SIZE
// after the root: a cut path names another file.
bool log_dir_script_path(const LogDir& dir, const char* name, PathBuffer& out, const char* suffix = "");

// Opens a regular file for appending, creating it (mode 0666 less the
// umask) when missing. An entry whose full path would not fit is refused
// too: no script could ever be handed it. Invalid on failure, with errno
// set (EINVAL for an entry that is no regular file).
unique_fd log_dir_open_append(const LogDir& dir, const char* name);

// Cuts a regular file back to `length` bytes.
bool log_dir_truncate(const LogDir& dir, const char* name, off_t length);

// A stream reading a regular file (with `suffix` appended to its name)
// from its start; null on failure and for anything but a regular file.
unique_file log_dir_open_read(const LogDir& dir, const char* name, const char* suffix = "");

// A stream writing a new entry that must not exist yet; null on failure,
// also when something appeared under the name meanwhile.
unique_file log_dir_create_new(const LogDir& dir, const char* name);

// Moves an entry to its temporary name, but never over an existing one: a
// ".tmp" left by an interrupted cut may hold the only copy of some lines.
bool log_dir_move_to_tmp(const LogDir& dir, const char* name);

// Moves the temporary name back over the entry, replacing a partial new
// file in one step.
bool log_dir_restore_from_tmp(const LogDir& dir, const char* name);
