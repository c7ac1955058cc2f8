// meterscribe-status: the gateway at a glance, from what is on disk. It
// never talks to the daemon: it reads the settings, the device's lock, the
// log directory and the newest log lines with the daemon's own code, and
// says whether anything needs a person, as text or as gauges for the node
// exporter's textfile collector.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "printable.h"
#include "report.h"
#include "survey.h"
#include "sys/paths.h"
#include "sys/unique_fd.h"
#include "usage.h"

namespace {

constexpr const char* TOOL = "meterscribe-status";
constexpr const char* USAGE =
    "usage: meterscribe-status [--prometheus] [--output FILE] [--settings PATH | PATH]\n"
    "  [--settings] PATH  the daemon's settings (default /opt/meterscribe/etc/settings)\n"
    "  --prometheus       gauges (meterscribe_*) in the node exporter's textfile format\n"
    "  --output FILE      write to FILE atomically (a temporary file beside it, synced, renamed)\n"
    "  --version          the version; --help this text\n"
    "Reads only what is on disk; the daemon is never asked.\n"
    "  daemon    the UUCP lock of /dev/DEVICE, judged as the daemon judges it: a live pid holds it\n"
    "            in a file of root's or that process's user's (in another's it is forged, so stale);\n"
    "            an empty one under half a second old is being written; a dead or missing pid is stale\n"
    "  storage   measured as the daemon measures it before it trims (at 67 % use)\n"
    "  current   the newest log file; the first line SEND_PERIOD minutes after its name releases it\n"
    "  waiting   the daemon keeps its released name in memory, so every log file older than the\n"
    "            newest counts as released and waiting for upload; its release is taken as its\n"
    "            name's time plus SEND_PERIOD. A released file goes up at the next send pass, at\n"
    "            most one SEND_PERIOD after a successful one, so uploads count as failing when the\n"
    "            oldest waiting file is more than one SEND_PERIOD, one poll cycle and 2 minutes\n"
    "            past its release. (After a restart the daemon offers older files only from its\n"
    "            first release on, and a stopped daemon uploads nothing: both look like failing.)\n"
    "  meters    the newest \"m<i>:<time>:\" line of each meter, read backwards from the newest\n"
    "            file, at most 8 files and 16 MiB. A poll cycle lasts at most PERIOD s plus, per\n"
    "            meter, 1 s for the first byte and SPLIT ms; a meter is silent after 3 such cycles\n"
    "            and 30 s without a line.\n"
    "Exit status: 0 nothing needs attention; 1 something does (no daemon or a stale lock, storage\n"
    "at or above the trim threshold or not measurable, uploads failing, an interrupted cut, a file\n"
    "named in the future, a silent meter, a log directory that does not open); 2 usage error,\n"
    "unreadable settings or unwritable output.\n";

struct Options {
  std::string settings;
  bool prometheus = false;
  const char* output = nullptr;
};

// False on a usage error; --help and --version end the process here.
bool parse_options(int argc, char** argv, Options& options) {
  enum { PROMETHEUS = 'p', OUTPUT = 'o' };
  static const option long_options[] = {SETTINGS_OPTION,
                                        {"prometheus", no_argument, nullptr, PROMETHEUS},
                                        {"output", required_argument, nullptr, OUTPUT},
                                        HELP_OPTION,
                                        VERSION_OPTION,
                                        END_OF_OPTIONS};
  const ToolCommandLine command_line{TOOL, USAGE, "s:po:", long_options};
  bool settings_given = false;
  for (int code; (code = next_option(command_line, argc, argv)) != -1;) {
    switch (code) {
      case OPTION_SETTINGS:
        options.settings = optarg;
        settings_given = true;
        break;
      case PROMETHEUS: options.prometheus = true; break;
      case OUTPUT: options.output = optarg; break;
      default: return false;
    }
  }
  return take_settings_operand(TOOL, argc, argv, settings_given, options.settings);
}

// The report is built whole in memory first, so that a file is written in
// one piece and never half.
std::string render(const GatewayStatus& status, bool prometheus) {
  char* text = nullptr;
  std::size_t length = 0;
  FILE* out = open_memstream(&text, &length);
  if (out == nullptr) return "";
  if (prometheus)
    write_prometheus(out, status);
  else
    write_text(out, status);
  std::fclose(out);
  std::string result(text, length);
  std::free(text);
  return result;
}

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

// The collector reads every *.prom file of its directory whenever it is
// scraped: it must find the old file or the new one, whole. The draft's
// name ends in random letters, never in ".prom", and it is readable by the
// exporter's own user.
bool write_atomically(const std::string& path, const std::string& text) {
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string draft = dir + "/." + base + ".XXXXXX";
  unique_fd fd(mkstemp(draft.data()));
  if (!fd.valid()) return false;
  bool written = fchmod(fd.get(), 0644) == 0 && write_all(fd.get(), text) && fsync(fd.get()) == 0;
  fd.reset();
  if (!written || rename(draft.c_str(), path.c_str()) != 0) {
    int saved = errno;
    unlink(draft.c_str());
    errno = saved;
    return false;
  }
  unique_fd dir_fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir_fd.valid()) fsync(dir_fd.get());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!paths_init_from_env()) {
    std::fputs("meterscribe-status: METERSCRIBE_ROOT is too long\n", stderr);
    return 2;
  }
  Options options;
  options.settings = std::string(path_root()) + SETTINGS_PATH;
  if (!parse_options(argc, argv, options)) return USAGE_EXIT_STATUS;
  GatewayStatus status;
  std::string why;
  if (!survey_gateway(options.settings.c_str(), std::time(nullptr), status, why)) {
    std::fprintf(stderr, "meterscribe-status: %s\n", printable(why).c_str());
    return 2;
  }
  std::string text = render(status, options.prometheus);
  if (options.output == nullptr) {
    std::fputs(text.c_str(), stdout);
  } else if (!write_atomically(options.output, text)) {
    std::fprintf(stderr, "meterscribe-status: cannot write %s: %s\n", options.output, std::strerror(errno));
    return 2;
  }
  return attention_items(status).empty() ? 0 : 1;
}
