// The root of an end-to-end test: the gateway's directories and its three
// scripts, the simulated meters, and the daemon under test.
#pragma once

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "support/daemon_process.h"
#include "support/meter_sim_process.h"
#include "support/reliability.h"
#include "support/temp_root.h"
#include "sys/paths.h"

class GatewayRootTest : public TempRootTest {
 protected:
  // Settings lines that put the log directory on the card of mount_card.
  static constexpr const char* ON_CARD = "MOD_METERSCRIBE_CACHE=1\nMOD_METERSCRIBE_CACHE_DIR=card\n";

  // The memory card script succeeds; every send and every removal fails, so
  // no file leaves the log directory unless the test says so. A test writes
  // its own body over any of them with root.write_script.
  GatewayRootTest();

  // Mounts a tmpfs of `size_kib` as the card's directory "card", which
  // becomes log_dir; false (see card->why_not()) when it cannot.
  bool mount_card(unsigned size_kib);
  // Starts the simulator; true once it has named its line.
  bool start_sim(const std::vector<std::string>& options);
  // Writes the settings of `meters` simulated meters on the simulator's
  // line, the test's first lines before them, and starts the daemon.
  void start_daemon(unsigned meters, const std::string& first_lines, std::vector<std::string> env = {});
  // The lock file of a device named below /dev ("pts/3" has "LCK..3").
  std::string lock_file(const std::string& device) const;

  // Destroyed in reverse: the daemon ends before the meters and the card.
  std::unique_ptr<TmpfsMount> card;
  std::unique_ptr<MeterSimProcess> sim;
  std::unique_ptr<DaemonProcess> daemon;
  std::string log_dir = root.at(VOLATILE_LOG_DIR);
};

// A lock file as its owner writes it: the process id in ten columns and a
// newline.
std::string lock_content(pid_t pid);
// The id of a process that has ended and been reaped: what a stale lock
// names.
pid_t dead_pid();
