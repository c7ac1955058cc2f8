// meterscribe-check: explains how the daemon will understand a settings
// file (the meters it polls and ignores, the serial line after fallbacks,
// the storage) and lists what it would read differently from how the file
// looks. It reads the file with the daemon's own reader.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon/context.h"
#include "daemon/settings.h"
#include "explain.h"
#include "file_scan.h"
#include "findings.h"
#include "sys/paths.h"
#include "sys/unique_file.h"
#include "usage.h"

namespace {

constexpr const char* TOOL = "meterscribe-check";
constexpr const char* USAGE =
    "usage: meterscribe-check [--settings PATH | PATH] [--help] [--version]\n"
    "Explains how meterscribe reads the settings file (default /opt/meterscribe/etc/settings).\n"
    "Exit status: 0 nothing surprising, 1 findings listed, 2 usage error or unreadable file.\n";

// False after a usage error.
bool parse_arguments(int argc, char** argv, std::string& path) {
  static const option long_options[] = {SETTINGS_OPTION, HELP_OPTION, VERSION_OPTION, END_OF_OPTIONS};
  const ToolCommandLine command_line{TOOL, USAGE, "s:", long_options};
  bool option_given = false;
  for (int code; (code = next_option(command_line, argc, argv)) != -1;) {
    if (code != OPTION_SETTINGS) return false;
    path = optarg;
    option_given = true;
  }
  return take_settings_operand(TOOL, argc, argv, option_given, path);
}

void print_findings(const Findings& findings) {
  if (findings.items.empty()) {
    std::printf("\nNothing surprising: the daemon reads this file as it is written.\n");
    return;
  }
  std::printf("\nFindings (%zu)\n", findings.items.size());
  for (const std::string& item : findings.items) std::printf("  %s\n", item.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (!paths_init_from_env()) {
    std::fprintf(stderr, "meterscribe-check: METERSCRIBE_ROOT is too long\n");
    return 2;
  }
  PathBuffer default_settings;
  std::string settings_path = rooted_path(default_settings.data(), default_settings.size(), SETTINGS_PATH);
  if (!parse_arguments(argc, argv, settings_path)) return USAGE_EXIT_STATUS;
  const char* path = settings_path.c_str();
  int error = settings_file_error(path);
  unique_file file(error == 0 ? std::fopen(path, "r") : nullptr);
  if (!file) {
    if (error == 0) error = errno;
    std::fprintf(stderr, "meterscribe-check: cannot read %s: %s\n", path, std::strerror(error));
    return 2;
  }
  KeyLines keys;
  Findings findings;
  scan_settings_file(file.get(), keys, findings);
  DaemonContext context{};
  load_settings_from(&context, path);
  std::printf("Settings file %s\n\n", path);
  explain_meters(stdout, context, keys, findings);
  explain_serial_line(stdout, context, keys, findings);
  explain_storage(stdout, context, findings);
  print_findings(findings);
  release_context(&context);
  return findings.items.empty() ? 0 : 1;
}
