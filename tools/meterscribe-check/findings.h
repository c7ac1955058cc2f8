// What the check found surprising, in the order found; each item names its
// place ("line 7", "meter 2", "serial line", "storage") first.
#pragma once

#include <string>
#include <vector>

struct Findings {
  std::vector<std::string> items;
};

[[gnu::format(printf, 2, 3)]] void add_finding(Findings& findings, const char* format, ...);
