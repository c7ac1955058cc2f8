// A line-by-line look at the settings file, read the way the daemon reads
// it (pieces of at most 16383 characters, CR, LF and last-quote cuts, split
// at the first '='), to find what the daemon silently ignores or reads
// differently from how it looks: unknown keys, duplicates, blanks around
// '=', lines without '=', unbalanced quotes, numbers with trailing text.
#pragma once

#include <cstdio>
#include <map>
#include <string>

#include "findings.h"

// The first line of each key the daemon knows, by its upper-case name
// (MOD_METERSCRIBE_ADDR1 and the like): the line the daemon reads.
struct KeyLine {
  unsigned line;
  std::string value;
};
using KeyLines = std::map<std::string, KeyLine>;

void scan_settings_file(FILE* file, KeyLines& keys, Findings& findings);
