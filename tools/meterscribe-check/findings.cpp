#include "findings.h"

#include <cstdarg>
#include <cstdio>

void add_finding(Findings& findings, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  findings.items.emplace_back(text);
}
