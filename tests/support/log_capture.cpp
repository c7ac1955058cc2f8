#include "support/log_capture.h"

#include <mutex>

#include "sys/log.h"

namespace {
std::mutex captured_mutex;
std::vector<CapturedMessage> captured;

void capture(int level, const char* text) {
  std::lock_guard<std::mutex> guard(captured_mutex);
  captured.push_back({level, text});
}
}  // namespace

LogCapture::LogCapture() {
  clear();
  log_set_capture(capture);
}

LogCapture::~LogCapture() { log_set_capture(nullptr); }

std::vector<CapturedMessage> LogCapture::messages() const {
  std::lock_guard<std::mutex> guard(captured_mutex);
  return captured;
}

std::vector<std::string> LogCapture::texts() const {
  std::vector<std::string> result;
  for (const CapturedMessage& message : messages()) result.push_back(message.text);
  return result;
}

int LogCapture::count(const std::string& text) const {
  int n = 0;
  for (const CapturedMessage& message : messages()) n += message.text == text ? 1 : 0;
  return n;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> guard(captured_mutex);
  captured.clear();
}
