#include "site.h"

#include <algorithm>
#include <fstream>
#include <utility>
#include <sstream>

#include "log_time.h"

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

bool load_site(const char* path, Site& site, std::string& error) {
  std::ifstream file(path);
  if (!file) return fail(error, std::string(path) + ": cannot be read");
  std::string base = directory_of(path);
  unsigned number = 0;
  std::string why;
  for (std::string text; std::getline(file, text);) {
    ++number;
    if (!parse_line(text, base, site, why)) return fail(error, std::string(path) + ":" + std::to_string(number) + ": " + why);
  }
  return true;
}
