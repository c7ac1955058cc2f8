// The sample scripts of etc/ as the daemon runs them, in a test root: the
// script is installed beside the settings, with the functions the scripts
// share beside it, and run with METERSCRIBE_ROOT set and the root's /bin
// first in PATH, where a test puts its stand-ins for the programs the
// script calls.
#pragma once

#include <string>
#include <vector>

#include "support/temp_root.h"

// The body of a stand-in that appends its arguments, each followed by "|",
// as one line to "<stand-in>.calls".
extern const char* const RECORD_CALL;

// The file of etc/ that send, memCard and removeFile source from their own
// directory.
extern const char* const SCRIPT_FUNCTIONS;

// Copies etc/script-functions.sh into the root's directory `dir`.
void install_script_functions(const TempRoot& root, const std::string& dir);

// Copies etc/<name> into the root's directory `dir`, executable, with the
// shared functions beside it unless `with_functions` is false.
void install_sample_script(const TempRoot& root, const std::string& name,
                           const std::string& dir = "/opt/meterscribe/etc", bool with_functions = true);

// Installs etc/<name> and runs it with the arguments, its standard output
// discarded and its standard error too, unless `errors` is given to receive
// it; "NAME=value" entries of `env` win over the test's environment (whose
// METERSCRIBE_* and MS_* entries are left out). Its exit status, -1 when it
// did not exit (a script still running after a minute is killed with all
// it started).
int run_sample_script(const TempRoot& root, const std::string& name, const std::vector<std::string>& args,
                      const std::vector<std::string>& env = {}, std::string* errors = nullptr);

// Runs a command line with /bin/sh in the root's directory `dir`, as an
// administrator runs a script by hand, in the environment run_sample_script
// gives, its standard error into `errors` as run_sample_script does; the
// arguments are "$1", "$2", ... Its exit status, -1 when it did not exit.
int run_by_hand(const TempRoot& root, const std::string& dir, const std::string& command_line,
                const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                std::string* errors = nullptr);

// Standard output of a command line run with /bin/sh after the shared
// functions of etc/ are sourced; the arguments are "$1", "$2", ...
std::string with_script_functions(const std::string& command_line, const std::vector<std::string>& args);
