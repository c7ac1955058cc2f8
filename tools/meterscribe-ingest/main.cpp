// meterscribe-ingest: loads the log files that gateways deliver, one
// directory per gateway, into PostgreSQL, every reading exactly once. The
// lines are checked and decoded by meterscribe-decode's own code with each
// gateway's settings and register map, named in a site description.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "daemon/context.h"
#include "daemon/settings.h"
#include "database.h"
#include "disposal.h"
#include "file_rows.h"
#include "site.h"
#include "store/log_dir.h"
#include "sys/unique_file.h"
#include "usage.h"
#include "watch.h"

namespace {

constexpr const char* USAGE =
    "usage: meterscribe-ingest [--db CONNINFO] --init\n"
    "       meterscribe-ingest [--db CONNINFO] [--init] [--once] [--archive DIR | --delete] [--settle SECONDS]\n"
    "                          SITE-FILE ROOT\n"
    "  --db CONNINFO  libpq connection string (default: PGHOST, PGDATABASE, ... of the environment)\n"
    "  --init         apply the schema (tables, indexes); safe to repeat\n"
    "  --once         load every file not yet loaded below ROOT, then exit with a summary; without it\n"
    "                 the tool loads them and then watches ROOT, taking each file once the server has\n"
    "                 closed it after writing or renamed it into place; a file that failed is tried again\n"
    "                 after 5 s, then after twice the wait before, at most 10 min\n"
    "  --archive DIR  move each file, once all of it is in the database, to DIR/<gateway>/<name>;\n"
    "                 a file of that name already there stays: the first free <name>.1, <name>.2, ...\n"
    "  --delete       remove each file once all of it is in the database\n"
    "  --settle SECONDS  archive or remove a file only once nothing has written to it for SECONDS\n"
    "                 (default 60) and it holds exactly what was loaded; until then it stays, and the\n"
    "                 watch takes it again when it may have settled (--once leaves it for the next run)\n"
    "ROOT holds one directory per gateway with its delivered log-YYYY-MM-DD-hh-mm-ss files; SITE-FILE\n"
    "names each gateway's directory, settings, register map and zone:\n"
    "  gateway <directory> settings <path> [map <path>] [tz <zone>]\n"
    "Each file is loaded in one transaction with its row in ingested_files: a file loaded before is\n"
    "skipped, a file whose name came before with other content adds only the readings not yet there,\n"
    "and lines that fail the checks go to the rejects table with the reason. Files stay below ROOT\n"
    "without --archive or --delete; a file that failed to load always stays.\n"
    "Exit status: 0 every file loaded or skipped, 1 a file could not be loaded, archived or removed,\n"
    "2 usage, site or database error.\n";

constexpr const char* TOOL = "meterscribe-ingest";
constexpr unsigned MAX_SETTLE_S = 86400;

struct IngestRun {
  const char* conninfo = "";
  bool init = false;
  bool once = false;
  Disposal disposal;
  const char* site_path = nullptr;
  const char* root = nullptr;
  std::string environment_tz;
  bool environment_has_tz = false;
  unsigned loaded = 0;
  unsigned skipped = 0;
  unsigned failed = 0;
  unsigned long long readings = 0;
  unsigned long long rejected = 0;
  std::time_t partitions_kept_at = 0;  // when the monthly partitions were last made
};

// SITE-FILE and ROOT, or none with --init alone.
bool take_operands(int argc, char** argv, IngestRun& run) {
  int operands = argc - optind;
  if (operands == 2) {
    run.site_path = argv[optind];
    run.root = argv[optind + 1];
    return true;
  }
  if (operands > 2) return usage_error(TOOL, argv[optind + 2], "only SITE-FILE and ROOT are taken");
  if (operands == 1) return usage_error(TOOL, argv[optind], "ROOT is missing after SITE-FILE");
  if (!run.init) return usage_error(TOOL, nullptr, "SITE-FILE and ROOT are needed, or --init alone");
  if (run.once) return usage_error(TOOL, "--once", "needs SITE-FILE and ROOT");
  return true;
}

bool parse_options(int argc, char** argv, IngestRun& run) {
  enum { DB = OPTION_FIRST_OWN, INIT, ONCE, ARCHIVE, DELETE, SETTLE };
  static const option long_options[] = {{"db", required_argument, nullptr, DB},
                                        {"init", no_argument, nullptr, INIT},
                                        {"once", no_argument, nullptr, ONCE},
                                        {"archive", required_argument, nullptr, ARCHIVE},
                                        {"delete", no_argument, nullptr, DELETE},
                                        {"settle", required_argument, nullptr, SETTLE},
                                        HELP_OPTION,
                                        VERSION_OPTION,
                                        END_OF_OPTIONS};
  const ToolCommandLine command_line{TOOL, USAGE, "", long_options};
  for (int code; (code = next_option(command_line, argc, argv)) != -1;) {
    switch (code) {
      case DB: run.conninfo = optarg; break;
      case INIT: run.init = true; break;
      case ONCE: run.once = true; break;
      case ARCHIVE:
        if (*optarg == '\0') return usage_error(TOOL, "--archive", "needs a directory");
        run.disposal.kind = DisposalKind::archive;
        run.disposal.directory = optarg;
        break;
      case DELETE: run.disposal.kind = DisposalKind::remove; break;
      case SETTLE:
        if (!parse_count(optarg, 0, MAX_SETTLE_S, run.disposal.settle_s))
          return value_error(TOOL, "--settle", optarg, "the settle time is 0 to 86400 seconds");
        break;
      default: return false;
    }
  }
  return take_operands(argc, argv, run);
}

// The daemon's own settings reader, as meterscribe-decode uses it.
bool load_decoding(const SiteGateway& gateway, GatewayDecoding& decoding) {
  decoding.gateway = gateway.directory;
  if (int error = settings_file_error(gateway.settings.c_str()); error != 0) {
    std::fprintf(stderr, "meterscribe-ingest: %s: cannot read settings %s: %s\n", gateway.directory.c_str(),
                 gateway.settings.c_str(), std::strerror(error));
    return false;
  }
  DaemonContext context{};
  load_settings_from(&context, gateway.settings.c_str());
  std::copy(std::begin(context.meters), std::end(context.meters), decoding.table.meters);
  decoding.table.count = count_polled_meters(&context);
  release_context(&context);
  decoding.mapped = !gateway.map.empty();
  std::string error;
  if (decoding.mapped && !load_register_map(gateway.map.c_str(), decoding.map, error)) {
    std::fprintf(stderr, "meterscribe-ingest: %s\n", error.c_str());
    return false;
  }
  return true;
}

// The gateway's clock zone for the times of its lines.
void use_zone(const SiteGateway& gateway, const IngestRun& run) {
  if (!gateway.tz.empty())
    setenv("TZ", gateway.tz.c_str(), 1);
  else if (run.environment_has_tz)
    setenv("TZ", run.environment_tz.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

// The log files of a directory in time order, which is their name order:
// every one of them, however many a gateway delivered. One that cannot be
// opened lists nothing; one that cannot be read to its end is said, and the
// files read before are loaded.
std::vector<std::string> log_names_in(const std::string& directory) {
  std::vector<std::string> names;
  LogDir dir;
  if (log_dir_open(dir, directory.c_str()) &&
      !log_dir_each_file(dir, [&](const char* name) {
        if (is_log_name(name)) names.emplace_back(name);
      }))
    std::fprintf(stderr, "meterscribe-ingest: cannot read %s: %s\n", directory.c_str(), std::strerror(errno));
  std::sort(names.begin(), names.end());
  return names;
}

// The run goes on after a failed file, which is tried again later, unless
// the database is gone.
FileVerdict file_failed(PGconn* connection, const std::string& gateway, const std::string& name,
                        const std::string& error, IngestRun& run) {
  ++run.failed;
  std::fprintf(stderr, "meterscribe-ingest: %s/%s: %s\n", gateway.c_str(), name.c_str(), error.c_str());
  return {PQstatus(connection) == CONNECTION_OK ? FileNext::retry : FileNext::stop};
}

// Everything the load read of the file (`loaded`) is in the database: it
// may go, once it has settled and still holds just that.
FileVerdict file_done(PGconn* connection, const GatewayDecoding& decoding, const std::string& path,
                      const std::string& name, const LoadedContent& loaded, IngestRun& run) {
  std::string error;
  unsigned wait_s = 0;
  switch (dispose_loaded(run.disposal, decoding.gateway, path, name, loaded, wait_s, error)) {
    case DisposalResult::done: return {FileNext::done};
    case DisposalResult::failed: return file_failed(connection, decoding.gateway, name, error, run);
    case DisposalResult::unsettled: break;
  }
  std::printf("%s/%s: left in place until nothing has written to it for %u s and it holds what was loaded\n",
              decoding.gateway.c_str(), name.c_str(), run.disposal.settle_s);
  std::fflush(stdout);
  return {FileNext::again, wait_s};
}

// A file is hashed to tell whether it was loaded only when a file of its
// name and size was: a new file is read once, hashed as it loads.
// `content` gets the size and hash when they were read.
bool seen_before(PGconn* connection, const std::string& gateway, const std::string& path, const std::string& name,
                 bool& loaded, LoadedContent& content, std::string& error) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    error = "cannot be read: " + std::string(std::strerror(errno));
    return false;
  }
  unsigned long long size = static_cast<unsigned long long>(info.st_size);
  loaded = false;
  if (!loaded_with_size(connection, gateway, name, size, loaded, error)) return false;
  if (!loaded) return true;
  unsigned long long hashed_size = 0;
  if (!hash_delivered_file(path, hashed_size, content.sha256, error)) return false;
  content.size = hashed_size;
  return loaded_before(connection, gateway, name, content.sha256, loaded, error);
}

// The file streamed into the staging tables and moved into the store in
// one transaction. Exactly once is decided at the end, when the hash is
// known: a content recorded meanwhile (another tool, a file that changed
// into one loaded before) adds nothing.
bool load_streamed(PGconn* connection, const GatewayDecoding& decoding, const std::string& path, FileRows& rows,
                   FileOutcome& outcome, std::string& error) {
  std::string database_error;
  BatchSink sink = [&](FileRows& batch) { return send_batch(connection, batch, database_error); };
  if (!begin_file(connection, error)) return false;
  if (stream_delivered_file(path, decoding, rows, sink, error) &&
      finish_file(connection, decoding, rows, outcome, error))
    return true;
  if (!database_error.empty()) error = database_error;
  abandon_file(connection);
  return false;
}

// The server's month moves on: its partition is made before it is needed.
void keep_partitions_hourly(PGconn* connection, IngestRun& run) {
  std::time_t now = std::time(nullptr);
  if (now - run.partitions_kept_at < 3600) return;
  std::string error;
  if (keep_partitions(connection, error))
    run.partitions_kept_at = now;
  else
    std::fprintf(stderr, "meterscribe-ingest: %s\n", error.c_str());
}

// A file that fails is counted and the run goes on.
FileVerdict ingest_file(PGconn* connection, const GatewayDecoding& decoding, const std::string& path,
                 const std::string& name, IngestRun& run) {
  std::string error;
  bool loaded = false;
  LoadedContent seen{};
  if (!seen_before(connection, decoding.gateway, path, name, loaded, seen, error))
    return file_failed(connection, decoding.gateway, name, error, run);
  FileRows rows{name, 0, "", 0, 0, 0, 0, "", ""};
  FileOutcome outcome{};
  if (!loaded) {
    keep_partitions_hourly(connection, run);
    if (!load_streamed(connection, decoding, path, rows, outcome, error))
      return file_failed(connection, decoding.gateway, name, error, run);
  }
  if (loaded || outcome.loaded_before) {
    ++run.skipped;
    return file_done(connection, decoding, path, name, loaded ? seen : LoadedContent{rows.size, rows.sha256}, run);
  }
  ++run.loaded;
  run.readings += outcome.new_readings;
  run.rejected += rows.rejected;
  std::printf("%s/%s: %u lines, %llu readings, %llu new, %llu rejected\n", decoding.gateway.c_str(), name.c_str(),
              rows.lines, rows.readings, outcome.new_readings, rows.rejected);
  std::fflush(stdout);
  return file_done(connection, decoding, path, name, {rows.size, rows.sha256}, run);
}

struct Gateways {
  const Site& site;
  std::vector<GatewayDecoding> decodings;
  std::vector<bool> usable;  // settings and map were read
};

Gateways load_gateways(PGconn* connection, const Site& site, IngestRun& run) {
  Gateways gateways{site, std::vector<GatewayDecoding>(site.gateways.size()), {}};
  for (std::size_t i = 0; i < site.gateways.size(); ++i) {
    std::string error;
    bool usable = load_decoding(site.gateways[i], gateways.decodings[i]);
    if (usable && !register_gateway(connection, gateways.decodings[i], error)) {
      std::fprintf(stderr, "meterscribe-ingest: %s: %s\n", site.gateways[i].directory.c_str(), error.c_str());
      usable = false;
    }
    gateways.usable.push_back(usable);
    if (!gateways.usable.back()) ++run.failed;
  }
  return gateways;
}

FileVerdict ingest_named_file(PGconn* connection, const Gateways& gateways, std::size_t gateway,
                              const std::string& name, IngestRun& run) {
  if (!gateways.usable[gateway]) return {FileNext::done};
  use_zone(gateways.site.gateways[gateway], run);
  std::string path = run.root;
  path.append("/").append(gateways.site.gateways[gateway].directory).append("/").append(name);
  // A file that went away while it waited to be taken again is done with.
  struct stat entry {};
  if (lstat(path.c_str(), &entry) != 0 && errno == ENOENT) return {FileNext::done};
  return ingest_file(connection, gateways.decodings[gateway], path, name, run);
}

std::string directory_of(const Gateways& gateways, std::size_t gateway, const IngestRun& run) {
  return std::string(run.root) + "/" + gateways.site.gateways[gateway].directory;
}

// Returns false only when the database is gone.
bool ingest_directory(PGconn* connection, const Gateways& gateways, std::size_t gateway, IngestRun& run) {
  for (const std::string& name : log_names_in(directory_of(gateways, gateway, run)))
    if (ingest_named_file(connection, gateways, gateway, name, run).next == FileNext::stop) return false;
  return true;
}

// Gateway directories the site does not describe are said once per run:
// their files would otherwise wait unseen.
void warn_undescribed(const Site& site, const char* root) {
  DIR* dir = opendir(root);
  if (dir == nullptr) {
    std::fprintf(stderr, "meterscribe-ingest: cannot read %s\n", root);
    return;
  }
  for (dirent* entry; (entry = readdir(dir)) != nullptr;) {
    if (entry->d_name[0] == '.') continue;
    bool described = std::any_of(site.gateways.begin(), site.gateways.end(),
                                 [entry](const SiteGateway& gateway) { return gateway.directory == entry->d_name; });
    if (!described)
      std::fprintf(stderr, "meterscribe-ingest: %s/%s: not in the site description, left alone\n", root,
                   entry->d_name);
  }
  closedir(dir);
}

void print_summary(const IngestRun& run) {
  std::printf("meterscribe-ingest: files loaded %u, loaded before %u, failed %u; new readings %llu, rejected lines %llu\n",
              run.loaded, run.skipped, run.failed, run.readings, run.rejected);
}

// Loads what is there, then each file as it is completed, until the
// database is gone; the service manager starts the tool again.
int ingest_watching(PGconn* connection, const Gateways& gateways, IngestRun& run) {
  std::vector<std::string> directories;
  for (const SiteGateway& gateway : gateways.site.gateways) directories.push_back(gateway.directory);
  WatchHandlers handlers{
      [&](std::size_t gateway, const std::string& name) {
        return ingest_named_file(connection, gateways, gateway, name, run);
      },
      [&](std::size_t gateway) { return log_names_in(directory_of(gateways, gateway, run)); }};
  std::string error;
  bool watched = watch_tree(run.root, directories, handlers, error);
  if (!watched) std::fprintf(stderr, "meterscribe-ingest: %s\n", error.c_str());
  print_summary(run);
  return 2;
}

int ingest_tree(PGconn* connection, IngestRun& run) {
  Site site;
  std::string error;
  if (!load_site(run.site_path, site, error) || !schema_is_current(connection, error) ||
      !prepare_staging(connection, error) ||
      !keep_partitions(connection, error)) {
    std::fprintf(stderr, "meterscribe-ingest: %s\n", error.c_str());
    return 2;
  }
  run.partitions_kept_at = std::time(nullptr);
  warn_undescribed(site, run.root);
  Gateways gateways = load_gateways(connection, site, run);
  if (!run.once) return ingest_watching(connection, gateways, run);
  bool connected = true;
  for (std::size_t gateway = 0; connected && gateway < site.gateways.size(); ++gateway)
    connected = ingest_directory(connection, gateways, gateway, run);
  print_summary(run);
  if (!connected) return 2;
  return run.failed != 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  IngestRun run;
  if (!parse_options(argc, argv, run)) return USAGE_EXIT_STATUS;
  const char* tz = std::getenv("TZ");
  run.environment_has_tz = tz != nullptr;
  if (tz != nullptr) run.environment_tz = tz;
  Connection connection;
  std::string error;
  if (!connect_database(run.conninfo, connection, error) || (run.init && !apply_schema(connection.get(), error))) {
    std::fprintf(stderr, "meterscribe-ingest: %s\n", error.c_str());
    return 2;
  }
  return run.site_path != nullptr ? ingest_tree(connection.get(), run) : 0;
}
