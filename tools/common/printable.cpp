#include "printable.h"

#include <cstdio>

namespace {

void put_hex(std::string& shown, unsigned char byte) {
  char escaped[5];
  std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
  shown += escaped;
}

// A UTF-8 lead byte 0xC2 followed by 0x80 to 0x9F encodes a C1 control.
bool c1_control_at(std::string_view text, std::size_t at) {
  return static_cast<unsigned char>(text[at]) == 0xC2 && at + 1 < text.size() &&
         static_cast<unsigned char>(text[at + 1]) >= 0x80 && static_cast<unsigned char>(text[at + 1]) <= 0x9F;
}

}  // namespace

std::string printable(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    auto byte = static_cast<unsigned char>(text[at]);
    if (byte == '\n') {
      shown += "\\n";
    } else if (byte == '\t') {
      shown += "\\t";
    } else if (byte == '\r') {
      shown += "\\r";
    } else if (byte == '\\') {
      shown += "\\\\";
    } else if (byte < 0x20 || byte == 0x7F) {
      put_hex(shown, byte);
    } else if (c1_control_at(text, at)) {
      put_hex(shown, byte);
      put_hex(shown, static_cast<unsigned char>(text[++at]));
    } else {
      shown += text[at];
    }
  }
  return shown;
}
