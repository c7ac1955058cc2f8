// Runs one of the field tools as a real process and collects what it said.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "support/temp_root.h"

struct ToolRun {
  std::string out;
  std::string err;
  int status;  // exit status, -1 when the tool did not exit normally
};

// arguments are passed through the shell as written; test paths hold no
// blanks or quotes.
inline ToolRun run_tool(const char* tool, const std::string& arguments, const TempRoot& root) {
  std::string command = std::string(tool) + " " + arguments + " >" + root.at("/tool.out") + " 2>" + root.at("/tool.err");
  int status = std::system(command.c_str());
  return {root.read_file("/tool.out"), root.read_file("/tool.err"),
          WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}
