// The site description: which settings and register map belong to each
// gateway's directory of delivered files, and the zone its clock keeps.
// One gateway per line:
//
//   # gateway <directory> settings <path> [map <path>] [tz <zone>]
//   gateway gw-0001 settings gw-0001.settings map meters.map tz Europe/Berlin
//
// Relative paths are taken from the directory of the site file. The zone is
// a zone of the zoneinfo directory (TZDIR, /usr/share/zoneinfo) or a POSIX
// rule such as CET-1CEST,M3.5.0,M10.5.0/3; anything else is refused rather
// than taken as UTC (known_zone, as meterscribe-decode checks TZ). Without
// tz the zone of the environment (TZ) applies. Blank lines and text after '#'
// are ignored; a control character (but a tab or carriage return) makes a
// line bad.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct SiteGateway {
  std::string directory;  // the name of its directory below the delivered-files root
  std::string settings;
  std::string map;  // "" for none
  std::string tz;   // "" for the environment's
};

struct Site {
  std::vector<SiteGateway> gateways;  // in the order of the file
};

// False with `error` set to "<path>:<line>: <why>" for the first line that
// is not a valid entry, or "<path>: <why>" when the file cannot be read.
bool load_site(const char* path, Site& site, std::string& error);

// The same for a site file's text; `source` is its path, which names it in
// the error and from whose directory relative paths are taken.
bool parse_site(std::string_view text, const char* source, Site& site, std::string& error);
