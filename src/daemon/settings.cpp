#include "daemon/settings.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>

#include "sys/unique_fd.h"

namespace {

char line_buffer[SETTINGS_LINE_SIZE];

void cut_at_first(char* text, char c) {
  if (char* at = std::strchr(text, c)) *at = '\0';
}

bool keys_match(const char* line_key, const char* wanted) { return strcasecmp(line_key, wanted) == 0; }

}  // namespace

FILE* settings_open(const char* path, const char* mode) { return std::fopen(path, mode); }

void settings_close(FILE* file) {
  if (file != nullptr) std::fclose(file);
}

int settings_file_error(const char* path) {
  unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return errno;
  struct stat status {};
  if (fstat(fd.get(), &status) != 0) return errno;
  return S_ISDIR(status.st_mode) ? EISDIR : 0;
}

std::size_t settings_key_length(const char* line) { return std::strcspn(line, "="); }

char* split_settings_line(char* line) {
  cut_at_first(line, '\r');
  cut_at_first(line, '\n');
  if (char* quote = std::strrchr(line, '"')) *quote = '\0';
  std::size_t key_length = settings_key_length(line);
  if (line[key_length] == '\0') return nullptr;
  line[key_length] = '\0';
  char* value = line + key_length + 1;
  return *value == '"' ? value + 1 : value;
}

const char* settings_lookup(FILE* file, const char* key) {
  if (file == nullptr) return nullptr;
  std::rewind(file);
  // A line longer than the buffer arrives in pieces; each piece is taken as
  // a line of its own.
  while (std::fgets(line_buffer, sizeof line_buffer, file) != nullptr) {
    char* value = split_settings_line(line_buffer);
    if (value != nullptr && keys_match(line_buffer, key)) return value;
  }
  return nullptr;
}

char* settings_string(FILE* file, const char* key) {
  const char* value = settings_lookup(file, key);
  return strdup(value != nullptr ? value : "");
}

std::uint32_t parse_settings_number(const char* text) {
  const char* cursor = text;
  while (std::isspace(static_cast<unsigned char>(*cursor))) ++cursor;
  bool negative = *cursor == '-';
  if (*cursor == '+' || *cursor == '-') ++cursor;
  if (!std::isdigit(static_cast<unsigned char>(*cursor))) return 0;
  // strtoull saturates at its own range; clamp to 32 bits by magnitude so
  // the result does not depend on the width of long on the host.
  errno = 0;
  unsigned long long magnitude = std::strtoull(cursor, nullptr, 10);
  if (errno == ERANGE || magnitude > UINT32_MAX) return UINT32_MAX;
  auto value = static_cast<std::uint32_t>(magnitude);
  return negative ? static_cast<std::uint32_t>(0u - value) : value;
}

std::uint32_t settings_unsigned(FILE* file, const char* key) {
  const char* value = settings_lookup(file, key);
  return value != nullptr ? parse_settings_number(value) : 0;
}
