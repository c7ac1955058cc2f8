// Fuzzes the site file parser (parse_site, which load_site runs on the
// file's text) of meterscribe-ingest.
//
// Checked:
// - a refused site says "<path>:<line>: <why>";
// - every gateway of a site taken has a directory that is one name below
//   the root (no '/', not beginning with '.'), named once; a settings path;
//   a zone the C library knows, or none; every text free of control
//   characters and NULs, which would cut a path where the C library reads
//   it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "log_time.h"
#include "site.h"

namespace {

const char* const SOURCE = "/srv/meters/site";

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "site_fuzz: %s\n", what);
  std::abort();
}

bool without_control(const std::string& text) {
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  Site site;
  std::string error;
  if (!parse_site(text, SOURCE, site, error)) {
    std::string prefix = std::string(SOURCE) + ":";
    check(error.compare(0, prefix.size(), prefix) == 0, "an error without the site's path");
    return 0;
  }
  std::set<std::string> directories;
  for (const SiteGateway& gateway : site.gateways) {
    check(!gateway.directory.empty() && gateway.directory.find('/') == std::string::npos &&
              gateway.directory[0] != '.',
          "a gateway directory that is not one name below the root");
    check(directories.insert(gateway.directory).second, "a gateway described twice");
    check(!gateway.settings.empty(), "a gateway without settings");
    check(gateway.tz.empty() || known_zone(gateway.tz), "a zone the C library does not know");
    for (const std::string* field : {&gateway.directory, &gateway.settings, &gateway.map, &gateway.tz})
      check(without_control(*field), "a control character in a gateway's text");
  }
  return 0;
}
