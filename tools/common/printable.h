// Names and paths read from disk, shown to a person. A file name may hold
// any byte but '/' and NUL: a line end in it could forge a line of a
// report, and an escape sequence would reach the terminal. The gateway
// scripts show such text the same way (printable in script-functions.sh).
#pragma once

#include <string>
#include <string_view>

// The text on one line with every control character written as a C escape:
// \n, \t, \r and \\ for themselves, \xNN for the other bytes below 0x20 and
// DEL, and \xc2\xNN for the C1 controls in their UTF-8 form (U+0080 to
// U+009F), which some terminals obey as well. Other text, UTF-8 included,
// is kept as it is.
std::string printable(std::string_view text);
