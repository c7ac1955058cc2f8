#include "file_scan.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "daemon/context.h"
#include "daemon/settings.h"

namespace {

// A key the daemon looks up, under its upper-case name.
struct KnownKey {
  std::string name;
  bool is_number;
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string upper(const char* text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return result;
}

// "ADDR1" but not "ADDR01": the daemon asks for the slot written with %u.
bool slot_suffix(const char* text, unsigned& slot) {
  if (!std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '0' || std::strlen(text) > 6) return false;
  for (const char* c = text; *c != '\0'; ++c)
    if (!std::isdigit(static_cast<unsigned char>(*c))) return false;
  slot = static_cast<unsigned>(std::strtoul(text, nullptr, 10));
  return true;
}

// Known keys match as the daemon matches them: the whole key, any case.
bool classify_key(const char* key, KnownKey& known, unsigned& slot_out_of_range) {
  slot_out_of_range = 0;
  for (unsigned i = 0; i < PLAIN_KEY_COUNT; ++i) {
    if (strcasecmp(key, plain_key_name(i)) == 0) {
      known = {plain_key_name(i), plain_key_is_number(i)};
      return true;
    }
  }
  for (unsigned i = 0; i < SLOT_KEY_COUNT; ++i) {
    std::size_t length = std::strlen(slot_key_prefix(i));
    unsigned slot = 0;
    if (strncasecmp(key, slot_key_prefix(i), length) != 0 || !slot_suffix(key + length, slot)) continue;
    if (slot >= 1 && slot <= METER_SLOTS) {
      known = {upper(key), true};
      return true;
    }
    slot_out_of_range = slot;
  }
  return false;
}

std::string trimmed(const char* text) {
  while (is_blank(*text)) ++text;
  std::string result(text);
  while (!result.empty() && is_blank(result.back())) result.pop_back();
  return result;
}

void report_unknown_key(unsigned number, const char* key, Findings& findings) {
  KnownKey known;
  unsigned slot = 0;
  unsigned trimmed_slot = 0;
  classify_key(key, known, slot);
  if (trimmed(key) != key && classify_key(trimmed(key).c_str(), known, trimmed_slot)) {
    add_finding(findings, "line %u: blanks around the key \"%s\": the daemon does not see %s on this line", number,
                key, known.name.c_str());
  } else if (slot != 0) {
    add_finding(findings, "line %u: %s: there are only ten meter slots (1 to 10): ignored", number, key);
  } else {
    add_finding(findings, "line %u: %s is not a key the daemon knows: ignored", number, key);
  }
}

// The well-formed shapes are no quote at all, or KEY="value" with exactly
// the two quotes. Anything else is cut at its last quote.
bool quotes_balanced(const char* raw) {
  const char* first = std::strchr(raw, '"');
  if (first == nullptr) return true;
  const char* equals = raw + settings_key_length(raw);
  const char* last = std::strrchr(raw, '"');
  return *equals == '=' && first == equals + 1 && last != first && last[1] == '\0' &&
         std::count(raw, raw + std::strlen(raw), '"') == 2;
}

void check_number(unsigned number, const KnownKey& key, const char* value, Findings& findings) {
  const char* cursor = value;
  while (std::isspace(static_cast<unsigned char>(*cursor))) ++cursor;
  const char* sign = cursor;
  if (*cursor == '+' || *cursor == '-') ++cursor;
  std::uint32_t reads_as = parse_settings_number(value);
  const char* name = key.name.c_str();
  if (!std::isdigit(static_cast<unsigned char>(*cursor))) {
    if (*sign != '\0') add_finding(findings, "line %u: %s=\"%s\" is not a number: reads as 0", number, name, value);
    return;
  }
  const char* end = cursor;
  while (std::isdigit(static_cast<unsigned char>(*end))) ++end;
  const char* rest = end;
  while (std::isspace(static_cast<unsigned char>(*rest))) ++rest;
  errno = 0;
  unsigned long long magnitude = std::strtoull(cursor, nullptr, 10);
  if (*rest != '\0')
    add_finding(findings, "line %u: %s=\"%s\": the text after the number is ignored: reads as %u", number, name,
                value, reads_as);
  else if (*sign == '-' && reads_as != 0)
    add_finding(findings, "line %u: %s=\"%s\" is negative: reads as %u", number, name, value, reads_as);
  else if (errno == ERANGE || magnitude > UINT32_MAX)
    add_finding(findings, "line %u: %s=\"%s\" is beyond 4294967295: reads as %u", number, name, value, reads_as);
}

void check_string(unsigned number, const KnownKey& key, const char* value, Findings& findings) {
  std::size_t length = std::strlen(value);
  if (length != 0 && (is_blank(value[0]) || is_blank(value[length - 1])))
    add_finding(findings, "line %u: %s=\"%s\" has blanks at its start or end, which the daemon keeps", number,
                key.name.c_str(), value);
}

void note_key(unsigned number, const KnownKey& key, const char* value, KeyLines& keys, Findings& findings) {
  auto first = keys.find(key.name);
  if (first != keys.end()) {
    add_finding(findings, "line %u: %s again%s: the first, on line %u, wins; this line is ignored", number,
                key.name.c_str(), first->second.value == value ? " (same value)" : "", first->second.line);
    return;
  }
  keys.emplace(key.name, KeyLine{number, value});
  if (key.is_number)
    check_number(number, key, value, findings);
  else
    check_string(number, key, value, findings);
}

bool is_comment_or_blank(const char* raw) {
  while (is_blank(*raw)) ++raw;
  return *raw == '\0' || *raw == '#';
}

// One piece as the daemon reads it; raw is the piece without CR and LF.
void scan_piece(unsigned number, char* piece, KeyLines& keys, Findings& findings) {
  std::string raw(piece);
  raw.resize(std::min(raw.size(), raw.find_first_of("\r\n")));
  // Comment lines are what the file's writers use them for; the daemon
  // ignores them too (no '=', or a key it does not know).
  if (is_comment_or_blank(raw.c_str())) return;
  char* value = split_settings_line(piece);
  if (value == nullptr) {
    if (settings_key_length(raw.c_str()) == raw.size())
      add_finding(findings, "line %u: no '=': the daemon ignores this line", number);
    else
      add_finding(findings, "line %u: the daemon cuts the line at its last double quote, which leaves no '=': ignored",
                  number);
    return;
  }
  KnownKey key;
  unsigned slot = 0;
  if (!classify_key(piece, key, slot)) return report_unknown_key(number, piece, findings);
  if (!quotes_balanced(raw.c_str()) && keys.find(key.name) == keys.end())
    add_finding(findings, "line %u: %s: unbalanced double quotes: the daemon cuts the line at its last quote "
                "and reads the value \"%s\"", number, key.name.c_str(), value);
  note_key(number, key, value, keys, findings);
}

}  // namespace

void scan_settings_file(FILE* file, KeyLines& keys, Findings& findings) {
  static char piece[SETTINGS_LINE_SIZE];
  unsigned number = 1;
  bool continued = false;  // this piece goes on a line begun before
  while (std::fgets(piece, sizeof piece, file) != nullptr) {
    bool ends_line = std::strchr(piece, '\n') != nullptr;
    if (!ends_line && !std::feof(file) && !continued)
      add_finding(findings, "line %u: longer than %u characters: the daemon reads it in pieces, each taken as a line",
                  number, SETTINGS_LINE_SIZE - 1);
    scan_piece(number, piece, keys, findings);
    continued = !ends_line;
    if (ends_line) ++number;
  }
}
