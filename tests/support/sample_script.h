// The sample scripts of etc/ as the daemon runs them, in a test root: the
// script is installed beside the settings and run with METERSCRIBE_ROOT set
// and the root's /bin first in PATH, where a test puts its stand-ins for
// the programs the script calls.
#pragma once

#include <string>
#include <vector>

#include "support/temp_root.h"

// The body of a stand-in that appends its arguments, each followed by "|",
// as one line to "<stand-in>.calls".
extern const char* const RECORD_CALL;

// Installs etc/<name> and runs it with the arguments, its output discarded;
// "NAME=value" entries of `env` win over the test's environment (whose
// METERSCRIBE_* and MS_* entries are left out). Its exit status, -1 when it
// did not exit.
int run_sample_script(const TempRoot& root, const std::string& name, const std::vector<std::string>& args,
                      const std::vector<std::string>& env = {});
