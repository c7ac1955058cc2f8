// meterscribe-decode, the real binary on real files: exact records for
// holding registers, coils with padding bits and input-register floats in
// both word orders, bad lines reported by file and line while the good ones
// still print, named values of a register map in each output format, and
// local times around a real zone's clock changes.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_root.h"
#include "tool_run.h"

using namespace std::string_literals;

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

// The logged local times are read in the zone of TZ, as on a gateway in
// Germany: UTC+1 in winter, UTC+2 in summer.
class DecodeTest : public TempRootTest {
 protected:
  void SetUp() override {
    root.write_file("/settings", SETTINGS);
    setenv("TZ", "Europe/Berlin", 1);
  }
  void TearDown() override { unsetenv("TZ"); }
  ToolRun decode(const std::string& options, const std::string& log_content) {
    root.write_file("/log", log_content);
    return run_tool(MS_DECODE_TOOL, "--settings " + root.at("/settings") + " " + options + " " + root.at("/log"),
                    root);
  }
};

TEST_F(DecodeTest, HoldingRegistersGetTheirAddressesFromTheSettings) {
  ToolRun run = decode("", HOLDING);
  EXPECT_EQ(run.out, HEADER +
                         "2024-03-05T14:07:09+01:00,1,1,3,100,42\n"
                         "2024-03-05T14:07:09+01:00,1,1,3,101,65535\n"
                         "2024-03-05T14:07:09+01:00,1,1,3,102,4660\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
}

TEST_F(DecodeTest, CoilsStopAtTheBinCountAndIgnorePaddingBits) {
  ToolRun run = decode("", COILS);
  std::string expected = HEADER;
  const char* bits[] = {"1", "0", "1", "1", "0", "0", "1", "1", "1", "0"};
  for (unsigned k = 0; k < 10; ++k) expected += "2024-03-05T14:07:10+01:00,2,2,1," + std::to_string(20 + k) + "," + bits[k] + "\n";
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
    EXPECT_EQ(run.out, HEADER + "2024-03-05T14:07:11+01:00,3,3,4,0," + c.first + "\n" + "2024-03-05T14:07:11+01:00,3,3,4,2," +
                           c.second + "\n");
    EXPECT_EQ(run.status, 0);
  }
}

TEST_F(DecodeTest, JsonLinesCarryTheSameRecords) {
  ToolRun run = decode("--json --float32", FLOATS + COILS);
  std::string first_lines = run.out.substr(0, run.out.find("\"address\":20"));
  EXPECT_EQ(first_lines,
            "{\"time\":\"2024-03-05T14:07:11+01:00\",\"meter\":3,\"slave\":3,\"function\":4,\"address\":0,\"value\":230.5}\n"
            "{\"time\":\"2024-03-05T14:07:11+01:00\",\"meter\":3,\"slave\":3,\"function\":4,\"address\":2,"
            "\"value\":-2.4178e-41}\n"
            "{\"time\":\"2024-03-05T14:07:10+01:00\",\"meter\":2,\"slave\":2,\"function\":1,");
}

TEST_F(DecodeTest, AnOddRegisterLeftWithoutAPartnerIsSaidOnceAndNotPrinted) {
  ToolRun run = decode("--u32", HOLDING + HOLDING);
  EXPECT_EQ(run.out, HEADER + "2024-03-05T14:07:09+01:00,1,1,3,100,2818047\n" + "2024-03-05T14:07:09+01:00,1,1,3,100,2818047\n");
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
      {"m0:2024-02-30-14-07-09:01 03 06 00 2a ff ff 12 34 35 e0 \n", "the time is no calendar time"},
      {"m0:2024-13-05-14-07-09:01 03 06 00 2a ff ff 12 34 35 e0 \n", "the time is no calendar time"},
      {"m0:2024-03-05-25-07-09:01 03 06 00 2a ff ff 12 34 35 e0 \n", "the time is no calendar time"},
      // A byte no log line holds hides nothing after it, not even a whole line.
      {"m0:2024-03-05-14-07-09:01 03 06 00 2a ff ff 12 34 35 e0 \0m0:2024-03-05-14-07-09:01 03 06 00 2a ff ff 12 34 35 e0 \n"s,
       "byte 0x00 at column 57 is no character of a log line"},
      {"m0:2024-03-05-14-07-09:01 03 06\0 00 2a ff ff 12 34 35 e0 \n"s, "byte 0x00 at column 32 is no character of a log line"},
      {"m0:2024-03-05-14-07-09:01 03 06 00 2a ff ff 12 34 35 e0 \r\n", "byte 0x0d at column 57 is no character of a log line"},
      {"m0:2024-03-05-14-07-09:01 03 06 00 2a ff ff 12 34 35 e0 \xc3\xa4\n", "byte 0xc3 at column 57 is no character of a log line"},
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
  EXPECT_EQ(run.out.substr(HEADER.size(), 36), "2024-03-05T14:00:00+01:00,2,2,1,20,1");
}

// Without an operand the gateway's own log directory is read, found from
// the settings as the daemon finds it; past the daemon's 999 names every log
// file is decoded, in time order.
TEST_F(DecodeTest, TheGatewaysLogDirectoryIsReadWholeWithoutAnOperand) {
  const std::string logs = "/var/meterscribe/voldata";
  ::mkdir(root.at("/var").c_str(), 0755);
  ::mkdir(root.at("/var/meterscribe").c_str(), 0755);
  ::mkdir(root.at(logs).c_str(), 0755);
  char time[20];
  for (int i = 0; i < 1200; ++i) {
    std::snprintf(time, sizeof time, "2024-03-05-14-%02d-%02d", i / 60, i % 60);
    root.write_file(logs + "/log-" + time, HOLDING.substr(0, 3) + time + HOLDING.substr(22));
  }
  setenv("METERSCRIBE_ROOT", root.path().c_str(), 1);
  ToolRun run = run_tool(MS_DECODE_TOOL, "--settings " + root.at("/settings"), root);
  unsetenv("METERSCRIBE_ROOT");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1 + 1200 * 3);
  EXPECT_EQ(run.out.substr(HEADER.size(), 26), "2024-03-05T14:00:00+01:00,");
  EXPECT_EQ(run.out.substr(run.out.rfind("2024"), 26), "2024-03-05T14:19:59+01:00,");
}

TEST_F(DecodeTest, UnreadableFilesEndWithStatus2) {
  const std::string settings = "--settings " + root.at("/settings") + " ";
  root.write_file("/log", HOLDING);
  const struct {
    std::string arguments;
    std::string err_start;
  } cases[] = {
      {"--settings " + root.at("/missing") + " " + root.at("/log"),
       "meterscribe-decode: cannot read settings " + root.at("/missing") + ": No such file or directory\n"},
      {settings + root.at("/missing"),
       "meterscribe-decode: cannot read " + root.at("/missing") + ": No such file or directory\n"},
      {settings + "--map " + root.at("/missing") + " " + root.at("/log"),
       "meterscribe-decode: " + root.at("/missing") + ": No such file or directory\n"},
      {settings + "--map " + root.at("/log") + " " + root.at("/log"),
       "meterscribe-decode: " + root.at("/log") + ":1: expected 7 or 8 fields (meter [function] address name type order scale unit)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    ToolRun run = run_tool(MS_DECODE_TOOL, c.arguments, root);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.substr(0, c.err_start.size()), c.err_start);
  }
}

// A map across meters 1 and 3, every value in another order; the count's
// bytes 00 2a read BADC are 0x2a00, the power's ff ff 12 34 are -60876, and
// 0000 7f80 read CDAB is +inf.
const char* const MAP =
    "# meter address name       type    order scale unit\n"
    "1       100     count      u16     BADC  1     -   \n"
    "1       101     power      s32     ABCD  0.01  kW  # kW in hundredths\n"
    "\n"
    "3       0x0000  voltage_l1 float32 ABCD  1     V\n"
    "3       2       voltage_l2 float32 CDAB  0.1   V\n";

const std::string NAN_INF = log_line(2, "2024-03-05-14-07-12", {3, 4, 8, 0x7f, 0xc0, 0, 0, 0, 0, 0x7f, 0x80});

TEST_F(DecodeTest, AMapGivesNamedScaledValuesInEachFormat) {
  root.write_file("/map", MAP);
  const std::string map = "--map " + root.at("/map") + " ";
  const struct {
    std::string options;
    std::string out;
  } cases[] = {
      {map,
       "time,meter,slave,function,address,name,unit,raw,value\n"
       "2024-03-05T14:07:09+01:00,1,1,3,100,count,,10752,10752\n"
       "2024-03-05T14:07:09+01:00,1,1,3,101,power,kW,-60876,-608.76\n"
       "2024-03-05T14:07:11+01:00,3,3,4,0,voltage_l1,V,230.5,230.5\n"
       "2024-03-05T14:07:11+01:00,3,3,4,2,voltage_l2,V,230.5,23.05\n"
       "2024-03-05T14:07:12+01:00,3,3,4,0,voltage_l1,V,nan,nan\n"
       "2024-03-05T14:07:12+01:00,3,3,4,2,voltage_l2,V,inf,inf\n"},
      {map + "--json --utc",
       "{\"time\":\"2024-03-05T13:07:09Z\",\"meter\":1,\"slave\":1,\"function\":3,\"address\":100,\"name\":\"count\","
       "\"unit\":\"\",\"raw\":10752,\"value\":10752}\n"
       "{\"time\":\"2024-03-05T13:07:09Z\",\"meter\":1,\"slave\":1,\"function\":3,\"address\":101,\"name\":\"power\","
       "\"unit\":\"kW\",\"raw\":-60876,\"value\":-608.76}\n"
       "{\"time\":\"2024-03-05T13:07:11Z\",\"meter\":3,\"slave\":3,\"function\":4,\"address\":0,"
       "\"name\":\"voltage_l1\",\"unit\":\"V\",\"raw\":230.5,\"value\":230.5}\n"
       "{\"time\":\"2024-03-05T13:07:11Z\",\"meter\":3,\"slave\":3,\"function\":4,\"address\":2,"
       "\"name\":\"voltage_l2\",\"unit\":\"V\",\"raw\":230.5,\"value\":23.05}\n"
       "{\"time\":\"2024-03-05T13:07:12Z\",\"meter\":3,\"slave\":3,\"function\":4,\"address\":0,"
       "\"name\":\"voltage_l1\",\"unit\":\"V\",\"raw\":null,\"value\":null}\n"
       "{\"time\":\"2024-03-05T13:07:12Z\",\"meter\":3,\"slave\":3,\"function\":4,\"address\":2,"
       "\"name\":\"voltage_l2\",\"unit\":\"V\",\"raw\":null,\"value\":null}\n"},
      // No NaN or infinity in the line protocol: those records are left out.
      {map + "--influx",
       "meterscribe,address=100,function=3,meter=1,name=count,slave=1 value_int=10752i 1709644029000000000\n"
       "meterscribe,address=101,function=3,meter=1,name=power,slave=1,unit=kW value=-608.76 1709644029000000000\n"
       "meterscribe,address=0,function=4,meter=3,name=voltage_l1,slave=3,unit=V value=230.5 1709644031000000000\n"
       "meterscribe,address=2,function=4,meter=3,name=voltage_l2,slave=3,unit=V value=23.05 1709644031000000000\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    ToolRun run = decode(c.options, HOLDING + FLOATS + NAN_INF);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
  }
}

// Meter 1 polls holding registers: its input register 100 is another value
// than the holding register 100 it logs, and is said, not printed.
TEST_F(DecodeTest, UnderAMapCoilsStayOneRecordEachAndUnpolledValuesAreSaid) {
  root.write_file("/map", std::string(MAP) + "1 102 beyond u32 ABCD 1 -\n2 20 coil u16 ABCD 1 -\n" +
                              "1 4 100 input_100 u16 ABCD 1 -\n1 3 102 holding_102 u16 ABCD 1 -\n");
  ToolRun run = decode("--map " + root.at("/map"), COILS + HOLDING);
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1 + 10 + 3);
  EXPECT_NE(run.out.find("\n2024-03-05T14:07:10+01:00,2,2,1,20,,,1,1\n"), std::string::npos);
  EXPECT_NE(run.out.find("\n2024-03-05T14:07:09+01:00,1,1,3,102,holding_102,,4660,4660\n"), std::string::npos);
  EXPECT_EQ(run.out.find("input_100"), std::string::npos);
  EXPECT_EQ(run.err, "meterscribe-decode: " + root.at("/map") +
                         ": beyond (registers 102 to 103): meter 1 does not read all of these registers\n"
                         "meterscribe-decode: " + root.at("/map") + ": coil (registers 20 to 20): meter 2 reads no registers\n"
                         "meterscribe-decode: " + root.at("/map") + ": input_100 (registers 100 to 100): meter 1 reads "
                         "holding registers (function 3), not input registers (function 4)\n");
  EXPECT_EQ(run.status, 0);
}

// Berlin's clocks went back from 03:00 to 02:00 on 27 October 2024 and
// forward from 02:00 to 03:00 on 31 March 2024.
TEST_F(DecodeTest, LocalTimesAroundTheClockChangesOfARealZone) {
  const struct {
    const char* logged;
    const char* local;
    const char* utc;
  } cases[] = {
      {"2024-10-27-01-59-59", "2024-10-27T01:59:59+02:00", "2024-10-26T23:59:59Z"},
      {"2024-10-27-02-00-00", "2024-10-27T02:00:00+02:00", "2024-10-27T00:00:00Z"},  // repeated: the earlier
      {"2024-10-27-02-59-59", "2024-10-27T02:59:59+02:00", "2024-10-27T00:59:59Z"},
      {"2024-10-27-03-00-00", "2024-10-27T03:00:00+01:00", "2024-10-27T02:00:00Z"},
      {"2024-03-31-01-59-59", "2024-03-31T01:59:59+01:00", "2024-03-31T00:59:59Z"},
      {"2024-03-31-02-00-00", "2024-03-31T02:00:00+01:00", "2024-03-31T01:00:00Z"},  // skipped: not yet forward
      {"2024-03-31-02-30-00", "2024-03-31T02:30:00+01:00", "2024-03-31T01:30:00Z"},
      {"2024-03-31-03-00-00", "2024-03-31T03:00:00+02:00", "2024-03-31T01:00:00Z"},
      {"2024-07-01-00-00-00", "2024-07-01T00:00:00+02:00", "2024-06-30T22:00:00Z"},
      // Far from now: local mean time before 1893, and beyond 32 bits either side.
      {"0001-01-01-00-00-00", "0001-01-01T00:00:00+00:53:28", "0000-12-31T23:06:32Z"},
      {"0998-06-01-00-00-00", "0998-06-01T00:00:00+00:53:28", "0998-05-31T23:06:32Z"},
      {"1969-12-31-23-59-59", "1969-12-31T23:59:59+01:00", "1969-12-31T22:59:59Z"},
      {"2038-01-19-04-14-08", "2038-01-19T04:14:08+01:00", "2038-01-19T03:14:08Z"},
      {"9999-12-31-23-59-59", "9999-12-31T23:59:59+01:00", "9999-12-31T22:59:59Z"},
  };
  std::string content;
  for (const auto& c : cases) content += "m0:" + std::string(c.logged) + HOLDING.substr(22);
  ToolRun local = decode("", content);
  ToolRun utc = decode("--utc", content);
  ASSERT_EQ(local.status, 0);
  ASSERT_EQ(utc.status, 0);
  std::size_t local_at = HEADER.size();
  std::size_t utc_at = HEADER.size();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logged);
    EXPECT_EQ(local.out.substr(local_at, std::string(c.local).size() + 1), c.local + std::string(","));
    EXPECT_EQ(utc.out.substr(utc_at, std::string(c.utc).size() + 1), c.utc + std::string(","));
    for (int records = 0; records < 3; ++records) {  // three registers a line
      local_at = local.out.find('\n', local_at) + 1;
      utc_at = utc.out.find('\n', utc_at) + 1;
    }
  }
  // The line protocol's nanoseconds end in 1677 and 2262: a time beyond is
  // said, never written wrapped.
  ToolRun influx = decode("--influx", content);
  std::string beyond = ": the time is beyond the line protocol's nanoseconds (1677 to 2262)\n";
  EXPECT_EQ(influx.err, root.at("/log") + ":10" + beyond + root.at("/log") + ":11" + beyond + root.at("/log") + ":14" +
                            beyond);
}

// The C library takes a TZ it cannot find as UTC; the tool refuses it, as
// meterscribe-ingest refuses such a zone in its site file. Unset, TZ is the
// system's local time.
TEST_F(DecodeTest, TZMustNameAZoneTheLibraryFinds) {
  const struct {
    const char* tz;  // nullptr: unset
    const char* time;  // the first record's; "" for any
  } known[] = {
      {":Europe/Berlin", "2024-03-05T14:07:09+01:00"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", "2024-03-05T14:07:09+01:00"},
      {"<+0530>-5:30", "2024-03-05T14:07:09+05:30"},
      {"UTC0", "2024-03-05T14:07:09+00:00"},
      {nullptr, ""},
  };
  for (const auto& c : known) {
    SCOPED_TRACE(c.tz == nullptr ? "(unset)" : c.tz);
    if (c.tz == nullptr) unsetenv("TZ"); else setenv("TZ", c.tz, 1);
    ToolRun run = decode("", HOLDING);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.substr(HEADER.size(), std::string(c.time).size()), c.time);
  }
  const char* unknown[] = {"Europe/Berln", "Berlin", "", ":", ":CET-1CEST,M3.5.0,M10.5.0/3", "CET-1CEST,M3.5", "UTC0\x1b[2J"};
  for (const char* tz : unknown) {
    SCOPED_TRACE(tz);
    setenv("TZ", tz, 1);
    ToolRun run = decode("", HOLDING);
    std::string shown = tz == std::string("UTC0\x1b[2J") ? "UTC0\\x1b[2J" : tz;
    EXPECT_EQ(run.err, "meterscribe-decode: unknown zone \"" + shown +
                           "\" in TZ (a zone of the zoneinfo directory, such as Europe/Berlin, or a rule such as "
                           "CET-1CEST,M3.5.0,M10.5.0/3)\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 2);
  }
}

}  // namespace
