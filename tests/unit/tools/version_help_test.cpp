// Every field tool, the real binary: --version names the program and the
// project's version on one line, --help prints the usage on standard
// output; both end with status 0.
#include <string>

#include <gtest/gtest.h>

#include "support/temp_root.h"
#include "tool_run.h"

namespace {

struct Tool {
  const char* path;
  std::string name;
};

const Tool FIELD_TOOLS[] = {{MS_CHECK_TOOL, "meterscribe-check"},
                            {MS_DECODE_TOOL, "meterscribe-decode"},
                            {MS_PROBE_TOOL, "meterscribe-probe"},
                            {MS_STATUS_TOOL, "meterscribe-status"}};

TEST(FieldToolOptions, VersionAndHelpAnswerOnStandardOutput) {
  TempRoot root;
  for (const Tool& tool : FIELD_TOOLS) {
    SCOPED_TRACE(tool.name);
    ToolRun version = run_tool(tool.path, "--version", root);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, tool.name + " " MS_PROJECT_VERSION "\n");
    EXPECT_EQ(version.err, "");
    ToolRun help = run_tool(tool.path, "--help", root);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: " + tool.name + " ", 0), 0u) << help.out;
    EXPECT_EQ(help.err, "");
  }
}

}  // namespace
