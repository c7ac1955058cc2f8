// The survey told: as text for people, or as gauges in the text format
// that the node exporter's textfile collector reads.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "survey.h"

// Whether anything needs a person: one sentence per item, none when all
// is well.
std::vector<std::string> attention_items(const GatewayStatus& status);

void write_text(FILE* out, const GatewayStatus& status);

// Every figure as a meterscribe_* gauge with its HELP and TYPE lines, by
// the exporter's conventions (shares as 0 to 1 ratios, instants as Unix
// seconds, a build_info); a figure that is not known (no current file,
// storage not measured, a meter without a line) reads NaN.
void write_prometheus(FILE* out, const GatewayStatus& status);
