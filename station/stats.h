// The day's statistics of the bench, from its history: today's runs by result (since local
// midnight), the yield, the runs that ended in the last hour, and the runs of each of the
// last 24 hours by result, for the page's counts and its chart.
#pragma once

#include "station/history.h"

#include <nlohmann/json.hpp>

// {"today":{"since","done","failed","cancelled","running","yield","runs_last_hour"},
//  "hours":[{"hour","done","failed","cancelled"}, ... 24 of them, the oldest first]}.
// Interrupted runs count as failed.
nlohmann::ordered_json DayStats(CHistory& history);
