#include "usage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The option as the user wrote it, without a value given with '='.
std::string written_option(const char* argument) {
  const char* equals = std::strchr(argument, '=');
  return equals == nullptr ? std::string(argument) : std::string(argument, equals);
}

std::string short_option(int letter) { return std::string("-") + static_cast<char>(letter); }

// getopt_long's '?': an unknown letter, an unknown or ambiguous long
// option (optopt 0), or a long option given a value it does not take.
void say_unknown(const char* tool, const std::string& letters, int argc, char** argv) {
  bool is_letter = optopt > 0 && optopt < 0x80;
  if (is_letter && std::strchr(letters.c_str(), optopt) == nullptr) {
    usage_error(tool, short_option(optopt).c_str(), "no such option");
    return;
  }
  const char* argument = optind - 1 < argc ? argv[optind - 1] : "";
  usage_error(tool, written_option(argument).c_str(), optopt == 0 ? "no such option" : "takes no value");
}

// getopt_long's ':': the option was the last argument and needs a value.
void say_missing_value(const char* tool, int argc, char** argv) {
  const char* argument = optind - 1 < argc ? argv[optind - 1] : "";
  bool is_long = std::strncmp(argument, "--", 2) == 0;
  usage_error(tool, is_long ? written_option(argument).c_str() : short_option(optopt).c_str(), "needs a value");
}

}  // namespace

int next_option(const ToolCommandLine& command_line, int argc, char** argv) {
  // The leading ':' tells a missing value from an unknown option; getopt's
  // own messages are off, the tool's one line says it instead.
  std::string letters = std::string(":") + command_line.short_options + "hV";
  opterr = 0;
  int code = getopt_long(argc, argv, letters.c_str(), command_line.long_options, nullptr);
  switch (code) {
    case OPTION_HELP: std::fputs(command_line.help, stdout); std::exit(0);
    case OPTION_VERSION: std::printf("%s %s\n", command_line.tool, METERSCRIBE_VERSION); std::exit(0);
    case '?': say_unknown(command_line.tool, letters, argc, argv); return '?';
    case ':': say_missing_value(command_line.tool, argc, argv); return '?';
    default: return code;
  }
}

bool usage_error(const char* tool, const char* argument, const char* why) {
  if (argument == nullptr)
    std::fprintf(stderr, "%s: %s; try --help\n", tool, why);
  else
    std::fprintf(stderr, "%s: %s: %s; try --help\n", tool, argument, why);
  return false;
}

bool value_error(const char* tool, const char* option_name, const char* value, const char* why) {
  return usage_error(tool, (std::string(option_name) + " " + value).c_str(), why);
}

bool parse_count(const char* text, unsigned low, unsigned high, unsigned& value) {
  if (*text < '0' || *text > '9') return false;
  char* end = nullptr;
  unsigned long number = std::strtoul(text, &end, 10);
  if (*end != '\0' || number < low || number > high) return false;
  value = static_cast<unsigned>(number);
  return true;
}

bool take_settings_operand(const char* tool, int argc, char** argv, bool option_given, std::string& path) {
  if (optind == argc) return true;
  if (optind + 1 < argc) return usage_error(tool, argv[optind + 1], "one settings file only");
  if (option_given) return usage_error(tool, argv[optind], "the settings file is given by --settings already");
  path = argv[optind];
  return true;
}
