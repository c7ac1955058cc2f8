// meterscribe-check: explains how the daemon will understand a settings
// file (the meters it polls and ignores, the serial line after fallbacks,
// the storage) and lists what it would read differently from how the file
// looks. It reads the file with the daemon's own reader.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "daemon/context.h"
#include "explain.h"
#include "file_scan.h"
#include "findings.h"
#include "sys/paths.h"
#include "sys/unique_file.h"

namespace {

constexpr const char* USAGE =
    "usage: meterscribe-check [--settings PATH | PATH] [--help] [--version]\n"
    "Explains how meterscribe reads the settings file (default /opt/meterscribe/etc/settings).\n"
    "Exit status: 0 nothing surprising, 1 findings listed, 2 usage error or unreadable file.\n";

// The settings path, or null on a usage error.
const char* parse_arguments(int argc, char** argv) {
  static const option long_options[] = {
      {"settings", required_argument, nullptr, 's'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0}};
  const char* path = SETTINGS_PATH;
  int option_code;
  while ((option_code = getopt_long(argc, argv, "s:h", long_options, nullptr)) != -1) {
    if (option_code == 'h') {
      std::fputs(USAGE, stdout);
      std::exit(0);
    }
    if (option_code == 'V') {
      std::fputs("meterscribe-check " METERSCRIBE_VERSION "\n", stdout);
      std::exit(0);
    }
    if (option_code != 's') return nullptr;
    path = optarg;
  }
  if (optind + 1 < argc) return nullptr;
  return optind < argc ? argv[optind] : path;
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
  const char* path = parse_arguments(argc, argv);
  if (path == nullptr) {
    std::fputs(USAGE, stderr);
    return 2;
  }
  unique_file file(std::fopen(path, "r"));
  if (!file) {
    std::fprintf(stderr, "meterscribe-check: cannot read %s: %s\n", path, std::strerror(errno));
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
