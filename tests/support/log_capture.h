// Captures every message of the system for the lifetime of the object.
#pragma once

#include <string>
#include <vector>

struct CapturedMessage {
  int level;
  std::string text;
};

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<CapturedMessage> messages() const;
  std::vector<std::string> texts() const;
  // How many messages have exactly this text.
  int count(const std::string& text) const;
  void clear();
};
