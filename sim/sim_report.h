// The simulated instrument's report as a file: written whole to a temporary file beside the
// target and renamed over it, so a reader never sees half a report.
#pragma once

#include "sim/simulated_instrument.h"

#include <string>

namespace sim {

// True when the file now holds report.ToJson().
bool WriteReportFile(const std::string& path, const Report& report);

}  // namespace sim
