#include "site.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <sstream>

#include "log_time.h"
#include "sys/unique_file.h"

namespace {

std::string directory_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

std::string resolved(const std::string& path, const std::string& base) {
  return path[0] == '/' ? path : base + "/" + path;
}

bool duplicate(const Site& site, const std::string& directory) {
  return std::any_of(site.gateways.begin(), site.gateways.end(),
                     [&directory](const SiteGateway& gateway) { return gateway.directory == directory; });
}

bool fail(std::string& error, std::string text) {
  error = std::move(text);
  return false;
}

std::string hex_byte(unsigned char byte) {
  char text[5];
  std::snprintf(text, sizeof text, "0x%02x", byte);
  return text;
}

// The words after "gateway <directory>": key and value pairs.
bool parse_entry(std::istringstream& words, const std::string& base, SiteGateway& gateway, std::string& why) {
  for (std::string key, value; words >> key;) {
    if (!(words >> value)) return fail(why, "no value after " + key);
    if (key == "settings")
      gateway.settings = resolved(value, base);
    else if (key == "map")
      gateway.map = resolved(value, base);
    else if (key == "tz" && !known_zone(value))
      return fail(why, "unknown zone " + value + " (a zone of the zoneinfo directory, such as Europe/Berlin)");
    else if (key == "tz")
      gateway.tz = value;
    else
      return fail(why, "unknown key " + key + " (settings, map, tz)");
  }
  if (gateway.settings.empty()) return fail(why, "no settings for gateway " + gateway.directory);
  return true;
}

// A NUL would cut a path where the C library reads it, and a control
// character has no place in a name; a carriage return is a blank.
bool printable_line(const std::string& text, std::string& why) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    if ((byte < 0x20 && byte != '\t' && byte != '\r') || byte == 0x7F)
      return fail(why, "byte " + hex_byte(byte) + " at column " + std::to_string(i + 1) +
                           " is no character of a site file");
  }
  return true;
}

bool parse_line(const std::string& text, const std::string& base, Site& site, std::string& why) {
  std::istringstream words(text.substr(0, text.find('#')));
  std::string keyword;
  if (!(words >> keyword)) return true;
  SiteGateway gateway;
  if (keyword != "gateway" || !(words >> gateway.directory)) return fail(why, "not: gateway <directory> settings <path>");
  if (gateway.directory.find('/') != std::string::npos || gateway.directory[0] == '.')
    return fail(why, "the gateway directory is one name below the root");
  if (duplicate(site, gateway.directory)) return fail(why, "gateway " + gateway.directory + " is described twice");
  if (!parse_entry(words, base, gateway, why)) return false;
  site.gateways.push_back(gateway);
  return true;
}

}  // namespace

bool parse_site(std::string_view text, const char* source, Site& site, std::string& error) {
  std::string base = directory_of(source);
  std::string why;
  unsigned number = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = std::min(text.find('\n', at), text.size());
    ++number;
    std::string line(text.substr(at, end - at));
    if (!printable_line(line, why) || !parse_line(line, base, site, why))
      return fail(error, std::string(source) + ":" + std::to_string(number) + ": " + why);
    at = end + 1;
  }
  return true;
}

bool load_site(const char* path, Site& site, std::string& error) {
  unique_file file(std::fopen(path, "rb"));
  std::string text;
  char buffer[4096];
  for (std::size_t got; file && (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) text.append(buffer, got);
  if (!file || std::ferror(file.get()) != 0) return fail(error, std::string(path) + ": cannot be read");
  return parse_site(text, path, site, error);
}
