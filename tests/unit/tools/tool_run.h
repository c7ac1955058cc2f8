// Runs one of the field tools as a real process and collects what it said;
// writes log lines as the daemon does.
#pragma once

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/crc16_reference.h"
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

// A log line of meter `index` at `time` with its CRC appended, worked out by
// the tests' own CRC.
inline std::string log_line(unsigned index, const std::string& time, const std::vector<unsigned>& bytes) {
  std::vector<unsigned> frame = bytes;
  std::uint16_t crc = crc16_reference(frame, frame.size());
  frame.push_back(crc & 0xFFu);
  frame.push_back(crc >> 8u);
  std::string line = "m" + std::to_string(index) + ":" + time + ":";
  char hex[4];
  for (unsigned byte : frame) {
    std::snprintf(hex, sizeof hex, "%02x ", byte);
    line += hex;
  }
  return line + "\n";
}
