// The command line of the tools, taken alike in every one: the options
// several tools share are spelt here once, --help and --version answer the
// same way, and a usage error is one line on standard error that names the
// tool, the argument and what is wrong with it, and points to --help.
#pragma once

#include <getopt.h>

#include <string>

// The exit status of every usage error.
constexpr int USAGE_EXIT_STATUS = 2;

// Codes of the shared options, as getopt_long returns them. -h and -V
// answer in every tool; -s and -j where the tool takes --settings, --json.
enum SharedOption : int {
  OPTION_SETTINGS = 's',
  OPTION_JSON = 'j',
  OPTION_HELP = 'h',
  OPTION_VERSION = 'V',
  OPTION_MAP = 0x1000,
  OPTION_UTC,
  OPTION_FIRST_OWN,  // the first code free for a tool's own long options
};

// Entries of a tool's getopt_long table, so a shared option cannot be
// spelt two ways.
constexpr option SETTINGS_OPTION{"settings", required_argument, nullptr, OPTION_SETTINGS};
constexpr option MAP_OPTION{"map", required_argument, nullptr, OPTION_MAP};
constexpr option JSON_OPTION{"json", no_argument, nullptr, OPTION_JSON};
constexpr option UTC_OPTION{"utc", no_argument, nullptr, OPTION_UTC};
constexpr option HELP_OPTION{"help", no_argument, nullptr, OPTION_HELP};
constexpr option VERSION_OPTION{"version", no_argument, nullptr, OPTION_VERSION};
constexpr option END_OF_OPTIONS{nullptr, 0, nullptr, 0};

struct ToolCommandLine {
  const char* tool;           // the program's name, as its messages begin
  const char* help;           // what --help prints, from "usage: <tool> " on
  const char* short_options;  // getopt's letters (-h and -V are added)
  const option* long_options; // ends with END_OF_OPTIONS
};

// The next option's code, as getopt_long gives it, or -1 after the last
// option (optind then indexes the first operand). --help and --version are
// answered here on standard output and end the process with status 0. An
// unknown option or one without its value is said as a usage error and
// comes back as '?'.
int next_option(const ToolCommandLine& command_line, int argc, char** argv);

// Says a usage error on one line: "<tool>: <argument>: <why>; try --help",
// or without the argument when it is null. Returns false, for the parsers
// to return in one go.
bool usage_error(const char* tool, const char* argument, const char* why);

// The same for an option's value: "<tool>: <option> <value>: <why>; ...".
bool value_error(const char* tool, const char* option_name, const char* value, const char* why);

// A whole decimal number from low to high, and nothing else (no sign, no
// blanks, no text after it).
bool parse_count(const char* text, unsigned low, unsigned high, unsigned& value);

// For a tool whose one operand, if any, is the settings file, given either
// as --settings PATH or as PATH: takes the operand left after the options
// into `path`, or leaves `path` as the option or its default set it. False
// after a usage error: a second operand, or an operand besides --settings.
bool take_settings_operand(const char* tool, int argc, char** argv, bool option_given, std::string& path);
