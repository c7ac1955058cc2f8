// Reader of the settings file: one "KEY=value" or KEY="value" per line.
//
// Every lookup rescans the file from its first line; the first line whose
// key (the whole text before the first '=', compared without regard to
// ASCII case, blanks kept) matches wins. The reader shares one line buffer
// across all lookups, so it must not be used from two threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr unsigned SETTINGS_LINE_SIZE = 0x4000;  // 16383 characters and the NUL

// The open file, or null when it cannot be opened. Null is a valid handle
// for every lookup and behaves as a file without any key.
FILE* settings_open(const char* path, const char* mode);
void settings_close(FILE* file);

// For the tools, which are told which file to read and must not take a
// wrong path for a file without keys as the daemon would: 0 when `path`
// opens for reading and is no directory, else why not as an errno value
// (EISDIR for a directory, which opens but reads as empty).
int settings_file_error(const char* path);

// Value text of the first matching line, or null. Points into the shared
// line buffer and stays valid only until the next lookup.
const char* settings_lookup(FILE* file, const char* key);

// Newly allocated copy of the value, or of "" when the key is missing; never
// null unless memory runs out. The caller frees it with free().
char* settings_string(FILE* file, const char* key);

// The value read as an unsigned 32-bit decimal number: leading white space
// skipped, an optional sign (a minus wraps modulo 2^32), any magnitude
// beyond 4294967295 read as 4294967295, text after the digits ignored.
// 0 when the key is missing or no number can be read.
std::uint32_t settings_unsigned(FILE* file, const char* key);

// The same number rule applied to a text; for tools that read the file
// with the daemon's rules.
std::uint32_t parse_settings_number(const char* text);

// Length of a line's key: the text before its first '=', or the whole
// line when it holds none. Where a line splits is the reader's rule; tools
// that explain a line ask here.
std::size_t settings_key_length(const char* line);

// Cuts one raw line as the reader does (at the first CR, then the first LF,
// then the last double quote) and splits it at the first '='. Returns the
// value (opening quote skipped) and ends the key in place, or null when the
// line holds no '='. For tools that explain the file.
char* split_settings_line(char* line);
