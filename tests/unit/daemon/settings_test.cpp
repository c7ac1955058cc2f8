#include "daemon/settings.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/sample_script.h"
#include "support/temp_root.h"

namespace {

class SettingsTest : public TempRootTest {
 protected:
  FILE* open_with(const std::string& content) {
    root.write_file("/settings", content);
    file_ = settings_open(root.at("/settings").c_str(), "r");
    return file_;
  }
  std::string lookup(const char* key) {
    const char* value = settings_lookup(file_, key);
    return value == nullptr ? std::string("<null>") : std::string(value);
  }
  // The gateway scripts read the same file through their shared functions,
  // which must give what the daemon reads: the value ("" where the daemon
  // finds none), and a number in decimal.
  std::string script_value(const char* key) const {
    return with_script_functions("SETTINGS=$1; setting \"$2\"", {root.at("/settings"), key});
  }
  std::string script_number(const char* key) const {
    return with_script_functions("SETTINGS=$1; number \"$(setting \"$2\")\"", {root.at("/settings"), key});
  }
  void TearDown() override { settings_close(file_); }
  FILE* file_ = nullptr;
};

TEST_F(SettingsTest, CutsQuotesLineEndsAndSplitsAtTheFirstEquals) {
  open_with(
      "Q1=\"ttyS1\"\n"
      "P1=ttyS1\n"
      "key=5\n"
      "CRLF=value\r\n"
      "EQ=a=b\n"
      "OPEN=\"abc\n"
      "INNER=\"a\"b\"\n"
      "MID=va\"lue\n"
      "BLANK = 5\n"
      "TWICE=first\n"
      "TWICE=second\n"
      "EMPTY=\n"
      "no equals sign here\n"
      "LAST=no newline at end");
  struct Case {
    const char* key;
    const char* value;
  } cases[] = {
      {"Q1", "ttyS1"},   {"P1", "ttyS1"},     {"KEY", "5"},     {"crlf", "value"},
      {"EQ", "a=b"},     {"OPEN", ""},        {"INNER", "a\"b"}, {"MID", "va"},
      {"BLANK", "<null>"}, {"BLANK ", " 5"},   {"TWICE", "first"}, {"EMPTY", ""},
      {"MISSING", "<null>"}, {"LAST", "no newline at end"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lookup(c.key), c.value) << c.key;
    EXPECT_EQ(script_value(c.key), std::string(c.value) == "<null>" ? "" : c.value) << c.key;
  }
}

TEST_F(SettingsTest, EveryLookupRescansFromTheFirstLine) {
  open_with("A=1\nB=2\nA=3\n");
  EXPECT_EQ(lookup("B"), "2");
  EXPECT_EQ(lookup("A"), "1");
  EXPECT_EQ(lookup("B"), "2");
}

TEST_F(SettingsTest, NumbersFollowTheUnsignedConversionOnEveryArchitecture) {
  open_with(
      "N1=12abc\nN2=abc\nN3= 7\nN4=-1\nN5=4294967295\nN6=4294967296\n"
      "N7=-4294967296\nN8=99999999999999999999999\nN9=+42\nN10=\nN11=-\nN12=\t\n13\n"
      "N13=0x10\nN14=-5\nN15=-4294967295\nN16=\v\f+007x\nN17=-0\nN18=000000000000004294967295\n");
  struct Case {
    const char* key;
    std::uint32_t value;
  } cases[] = {
      {"N1", 12},          {"N2", 0},           {"N3", 7},           {"N4", 4294967295u},
      {"N5", 4294967295u}, {"N6", 4294967295u}, {"N7", 4294967295u}, {"N8", 4294967295u},
      {"N9", 42},          {"N10", 0},          {"N11", 0},          {"N12", 0},
      {"N13", 0},          {"N14", 4294967291u}, {"N15", 1},          {"N16", 7},
      {"N17", 0},          {"N18", 4294967295u}, {"MISSING", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(settings_unsigned(file_, c.key), c.value) << c.key;
    EXPECT_EQ(script_number(c.key), std::to_string(c.value) + "\n") << c.key;
  }
}

TEST_F(SettingsTest, StringsAreOwnedCopiesAndMissingKeysGiveEmptyText) {
  open_with("DEV=\"ttyUSB0\"\n");
  char* device = settings_string(file_, "DEV");
  char* missing = settings_string(file_, "NOPE");
  ASSERT_NE(missing, nullptr);
  EXPECT_STREQ(device, "ttyUSB0");
  EXPECT_STREQ(missing, "");
  settings_lookup(file_, "DEV");  // the copy must not share the line buffer
  EXPECT_STREQ(device, "ttyUSB0");
  std::free(device);
  std::free(missing);
}

TEST_F(SettingsTest, AMissingFileReadsAsAFileWithoutKeys) {
  file_ = settings_open(root.at("/does-not-exist").c_str(), "r");
  ASSERT_EQ(file_, nullptr);
  EXPECT_EQ(settings_lookup(nullptr, "A"), nullptr);
  EXPECT_EQ(settings_unsigned(nullptr, "A"), 0u);
  char* text = settings_string(nullptr, "A");
  EXPECT_STREQ(text, "");
  std::free(text);
  settings_close(nullptr);
}

TEST_F(SettingsTest, LongLinesAreReadInPiecesOfTheLineBuffer) {
  // The piece after the first 16383 characters is a line of its own.
  std::string filler(SETTINGS_LINE_SIZE - 1, 'x');
  open_with("LONG=" + filler.substr(5) + "HIDDEN=7\nAFTER=1\n");
  EXPECT_EQ(settings_unsigned(file_, "HIDDEN"), 7u);
  EXPECT_EQ(lookup("LONG").size(), SETTINGS_LINE_SIZE - 1 - 5);
  EXPECT_EQ(settings_unsigned(file_, "AFTER"), 1u);
  EXPECT_EQ(script_number("HIDDEN"), "7\n");
  EXPECT_EQ(script_value("LONG").size(), SETTINGS_LINE_SIZE - 1 - 5);
}

}  // namespace
