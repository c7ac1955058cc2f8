// meterscribe-decode, the real binary on real files: exact records for
// holding registers, coils with padding bits and input-register floats in
// both word orders, and bad lines reported by file and line while the good
// ones still print.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_root.h"
#include "tool_run.h"

namespace {

// Meter 1 reads 3 holding registers from 100, meter 2 ten coils from 20,
// meter 3 four input registers from 0.
const char* const SETTINGS =
    "MOD_METERSCRIBE_ADDR1=1\nMOD_METERSCRIBE_FUNC1=3\nMOD_METERSCRIBE_START1=100\nMOD_METERSCRIBE_REG_COUNT1=3\n"
    "MOD_METERSCRIBE_ADDR2=2\nMOD_METERSCRIBE_FUNC2=1\nMOD_METERSCRIBE_START2=20\nMOD_METERSCRIBE_BIN_COUNT2=10\n"
    "MOD_METERSCRIBE_ADDR3=3\nMOD_METERSCRIBE_FUNC3=4\nMOD_METERSCRIBE_START3=0\nMOD_METERSCRIBE_REG_COUNT3=4\n";

// Lines as the daemon writes them; the CRCs were worked out apart from the
// project's own CRC code.
const std::string HOLDING = "m0:2024-03-05-14-07-09:01 03 06 00 2a ff ff 12 34 35 e0 \n";
// 0xcd 0xfd: coils 20..29 are 1 0 1 1 0 0 1 1 1 0; the six bits above are padding.
const std::string COILS = "m1:2024-03-05-14-07-10:02 01 02 cd fd 68 ed \n";
// Registers 43 66, 80 00, 80 00, 43 66: 230.5 is 0x43668000.
const std::string FLOATS = "m2:2024-03-05-14-07-11:03 04 08 43 66 80 00 80 00 43 66 ea 8c \n";

const std::string HEADER = "time,meter,slave,function,address,value\n";

class DecodeTest : public TempRootTest {
 protected:
  void SetUp() override { root.write_file("/settings", SETTINGS); }
  ToolRun decode(const std::string& options, const std::string& log_content) {
    root.write_file("/log", log_content);
    return run_tool(MS_DECODE_TOOL, "--settings " + root.at("/settings") + " " + options + " " + root.at("/log"),
                    root);
  }
};

TEST_F(DecodeTest, HoldingRegistersGetTheirAddressesFromTheSettings) {
  ToolRun run = decode("", HOLDING);
  EXPECT_EQ(run.out, HEADER +
                         "2024-03-05T14:07:09,1,1,3,100,42\n"
                         "2024-03-05T14:07:09,1,1,3,101,65535\n"
                         "2024-03-05T14:07:09,1,1,3,102,4660\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
}

TEST_F(DecodeTest, CoilsStopAtTheBinCountAndIgnorePaddingBits) {
  ToolRun run = decode("", COILS);
  std::string expected = HEADER;
  const char* bits[] = {"1", "0", "1", "1", "0", "0", "1", "1", "1", "0"};
  for (unsigned k = 0; k < 10; ++k) expected += "2024-03-05T14:07:10,2,2,1," + std::to_string(20 + k) + "," + bits[k] + "\n";
  EXPECT_EQ(run.out, expected);
  EXPECT_EQ(run.status, 0);
}

TEST_F(DecodeTest, RegisterPairsInEitherWordOrder) {
  struct Case {
    const char* options;
    const char* first;   // pair at address 0
    const char* second;  // pair at address 2
  };
  const Case cases[] = {
      {"--float32", "230.5", "-2.4178e-41"},
      {"--float32 --word-order big", "230.5", "-2.4178e-41"},
      {"--float32 --word-order little", "-2.4178e-41", "230.5"},
      {"--u32", "1130790912", "2147500902"},
      {"--s32", "1130790912", "-2147466394"},
      {"--s32 --word-order little", "-2147466394", "1130790912"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    ToolRun run = decode(c.options, FLOATS);
    EXPECT_EQ(run.out, HEADER + "2024-03-05T14:07:11,3,3,4,0," + c.first + "\n" + "2024-03-05T14:07:11,3,3,4,2," +
                           c.second + "\n");
    EXPECT_EQ(run.status, 0);
  }
}

TEST_F(DecodeTest, JsonLinesCarryTheSameRecords) {
  ToolRun run = decode("--json --float32", FLOATS + COILS);
  std::string first_lines = run.out.substr(0, run.out.find("\"address\":20"));
  EXPECT_EQ(first_lines,
            "{\"time\":\"2024-03-05T14:07:11\",\"meter\":3,\"slave\":3,\"function\":4,\"address\":0,\"value\":230.5}\n"
            "{\"time\":\"2024-03-05T14:07:11\",\"meter\":3,\"slave\":3,\"function\":4,\"address\":2,"
            "\"value\":-2.4178e-41}\n"
            "{\"time\":\"2024-03-05T14:07:10\",\"meter\":2,\"slave\":2,\"function\":1,");
}

TEST_F(DecodeTest, AnOddRegisterLeftWithoutAPartnerIsSaidOnceAndNotPrinted) {
  ToolRun run = decode("--u32", HOLDING + HOLDING);
  EXPECT_EQ(run.out, HEADER + "2024-03-05T14:07:09,1,1,3,100,2818047\n" + "2024-03-05T14:07:09,1,1,3,100,2818047\n");
  EXPECT_EQ(run.err,
            "meterscribe-decode: meter 1 logs an odd number of registers; the last one has no partner for 32-bit "
            "values and is not printed\n");
  EXPECT_EQ(run.status, 0);
}

TEST_F(DecodeTest, BadLinesAreReportedByFileAndLineAndTheGoodOnesStillPrint) {
  struct Bad {
    std::string line;
    std::string why;
  };
  const Bad bad[] = {
      {"m0:2024-03-05-14-07-09:01 03 06 00 2b ff ff 12 34 35 e0 \n", "bad CRC: logged e035, computed 2008"},
      {"m0:2024-03-05-14-07-09:01 03 06 00 2A ff ff 12 34 35 e0 \n", "byte 5 is not two lowercase hex digits and a blank"},
      {"m0:2024-03-05-14-07-09:01 03 06 00 2a ff ff 12 34 35 e0\n", "byte 11 is not two lowercase hex digits and a blank"},
      {"m0:2024-03-05-14-07-09:01 83 02 c0 f1 \n", "exception response from slave 1, function 3, code 2"},
      {"m0:2024-03-05-14-07-09:01 03 06 00 2a 78 5a \n", "byte count field says 6 data bytes, the line holds 2"},
      {"m5:2024-03-05-14-07-09:01 03 06 00 00 00 00 00 00 21 75 \n", "meter 6 is not polled with these settings"},
      {"m0:2024-03-05-14-07-09:02 03 06 00 2a ff ff 12 34 21 10 \n", "slave 2 answered, meter 1 is slave 1"},
      {"m0:2024-03-05-14-07-09:01 03 04 00 01 00 02 2a 32 \n", "4 data bytes, meter 1 asks for 6"},
      {"m1:2024-03-05-14-07-09:01 03 06 00 2a ff ff 12 34 35 e0 \n", "slave 1 answered, meter 2 is slave 2"},
      {"x0:2024-03-05-14-07-09:01 03 06 00 2a ff ff 12 34 35 e0 \n", "does not begin with m and a meter index"},
      {"m0:2024-03-05 14:07:09:01 03 06 00 2a ff ff 12 34 35 e0 \n",
       "no time of the form YYYY-MM-DD-hh-mm-ss and a colon after the meter index"},
      {"m0:2024-03-05-14-07-09:\n", "no response bytes"},
      {"\n", "does not begin with m and a meter index"},
  };
  // Good lines first and last; the last bad line has lost its newline.
  std::string content = HOLDING;
  std::string expected_err;
  unsigned number = 1;
  for (const Bad& b : bad) {
    content += b.line;
    expected_err += root.at("/log") + ":" + std::to_string(++number) + ": " + b.why + "\n";
  }
  content += COILS + HOLDING.substr(0, 30);
  expected_err += root.at("/log") + ":" + std::to_string(number + 2) + ": no newline: the line was cut short\n";
  ToolRun run = decode("", content);
  EXPECT_EQ(run.err, expected_err);
  EXPECT_EQ(run.out, decode("", HOLDING + COILS).out);
  EXPECT_EQ(run.status, 1);
}

TEST_F(DecodeTest, ADirectoryIsReadInTimeOrderAndOnlyItsLogFiles) {
  root.write_file("/var/meterscribe/voldata/log-2024-03-05-14-07-10", HOLDING);
  root.write_file("/var/meterscribe/voldata/log-2024-03-05-14-00-00", COILS.substr(0, 3) + "2024-03-05-14-00-00" + COILS.substr(22));
  root.write_file("/var/meterscribe/voldata/log-2024-03-05-14-00-00.tmp", "garbage\n");
  root.write_file("/var/meterscribe/voldata/notes", "garbage\n");
  ToolRun run = run_tool(MS_DECODE_TOOL, "--settings " + root.at("/settings") + " " + root.at("/var/meterscribe/voldata"), root);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1 + 10 + 3);
  EXPECT_EQ(run.out.substr(HEADER.size(), 30), "2024-03-05T14:00:00,2,2,1,20,1");
}

TEST_F(DecodeTest, UsageErrorsAndUnreadableFilesEndWithStatus2) {
  const std::string settings = "--settings " + root.at("/settings") + " ";
  root.write_file("/log", HOLDING);
  const struct {
    std::string arguments;
    std::string err_start;
  } cases[] = {
      {settings, "usage: meterscribe-decode"},
      {settings + "--word-order middle " + root.at("/log"), "usage: meterscribe-decode"},
      {"--settings " + root.at("/missing") + " " + root.at("/log"),
       "meterscribe-decode: cannot read settings " + root.at("/missing") + ": No such file or directory\n"},
      {settings + root.at("/missing"),
       "meterscribe-decode: cannot read " + root.at("/missing") + ": No such file or directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    ToolRun run = run_tool(MS_DECODE_TOOL, c.arguments, root);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.substr(0, c.err_start.size()), c.err_start);
  }
}

}  // namespace
