// A fixture for the log store: a temporary root, the volatile log directory
// opened as the daemon opens it, a released name, and the clock handed in
// (UTC).
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "store/log_store.h"
#include "support/temp_root.h"

class LogDirTest : public TempRootTest {
 protected:
  // 01 03 02 00 2A 39 9B: one holding register holding 42, with its CRC.
  static const std::vector<std::uint8_t> RESPONSE;

  void SetUp() override;
  void TearDown() override;
  // Appends RESPONSE for the meter, as written at `when`.
  void append(std::time_t when, unsigned meter = 0);
  // The names in the log directory, sorted; dot-files left out.
  std::vector<std::string> files() const;
  std::string content(const std::string& name) const;
  // Makes `path` the log directory, as start-up would.
  void use_log_dir(const std::string& path);

  std::string dir;
  LogDir log_dir;
  ReleasedName release{};
  LogStore store{&log_dir, &release, 15, ""};
};
