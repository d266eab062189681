// The day's statistics, counted from the rows of the last 24 hours (and of today).
#include "station/stats.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <string>

namespace {

using Json = nlohmann::ordered_json;

std::string UtcText(std::time_t time, const char* format) {
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[32];
    std::strftime(text, sizeof text, format, &utc);
    return text;
}

}  // namespace

nlohmann::ordered_json DayStats(CHistory& history) {
    constexpr int kHours = 24;
    const std::time_t now = std::time(nullptr);
    const std::time_t firstHour = now - now % 3600 - (kHours - 1) * 3600;
    HistoryFilter filter;
    filter.limit = 1000000;
    filter.since = std::min(CHistory::TodayStart(), UtcText(firstHour, "%Y-%m-%dT%H:%M:%SZ"));
    const std::string today = CHistory::TodayStart();
    const std::string lastHour = UtcText(now - 3600, "%Y-%m-%dT%H:%M:%SZ");
    std::map<std::string, std::map<std::string, int>> byHour;  // "YYYY-MM-DDTHH" -> result
    std::map<std::string, int> counts;
    int lastHourRuns = 0;
    for (const HistoryRow& row : history.Query(filter)) {
        if (row.started >= today) {
            ++counts[row.result];
        }
        if (row.started >= lastHour && row.result != "running") {
            ++lastHourRuns;
        }
        ++byHour[row.started.substr(0, 13)][row.result];
    }
    Json hours = Json::array();
    for (int i = 0; i < kHours; ++i) {
        const std::time_t hour = firstHour + i * 3600;
        const auto& results = byHour[UtcText(hour, "%Y-%m-%dT%H")];
        auto count = [&](const char* result) {
            auto it = results.find(result);
            return it == results.end() ? 0 : it->second;
        };
        hours.push_back(Json{{"hour", UtcText(hour, "%Y-%m-%dT%H:00:00Z")},
                             {"done", count("done")},
                             {"failed", count("failed") + count("interrupted")},
                             {"cancelled", count("cancelled")}});
    }
    const int done = counts["done"];
    const int failed = counts["failed"] + counts["interrupted"];
    Json todayJson{
        {"since", today},
        {"done", done},
        {"failed", failed},
        {"cancelled", counts["cancelled"]},
        {"running", counts["running"]},
        {"yield", done + failed > 0 ? Json(100.0 * done / (done + failed)) : Json(nullptr)},
        {"runs_last_hour", lastHourRuns}};
    return Json{{"today", todayJson}, {"hours", hours}};
}
