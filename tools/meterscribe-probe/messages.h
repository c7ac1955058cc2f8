// The daemon's code reports through log_msg. The probe catches those
// messages instead of sending them to syslog, and tells them to the person
// at the gateway as part of what it found.
#pragma once

#include <string>
#include <vector>

// From now on every message of the daemon's code is kept here.
void catch_daemon_messages();

// The messages kept since the last call, oldest first; the store is empty
// afterwards.
std::vector<std::string> take_daemon_messages();
