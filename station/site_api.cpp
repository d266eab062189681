// The site's routes: a request's values checked here, before any reaches the site database.
#include "station/site_api.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <regex>

namespace {

void Reply(httplib::Response& response, const ApiAnswer& answer) {
    response.status = answer.status;
    response.set_content(answer.body.dump(), "application/json");
}

void Refuse(httplib::Response& response, const std::string& text) {
    Reply(response, ErrorAnswer(400, text));
}

bool IsSha256(std::string* text) {
    if (text->size() != 64) {
        return false;
    }
    for (char& c : *text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return true;
}

// A site history request's filter; false with the reason for a value that can't be one.
bool ReadSiteFilter(const httplib::Request& request, SiteHistoryFilter* filter,
                    std::string* error) {
    if (request.has_param("limit")) {
        const std::string text = request.get_param_value("limit");
        char* end = nullptr;
        const long limit = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || limit < 1 || limit > 10000) {
            *error = "limit must be a number from 1 to 10000";
            return false;
        }
        filter->limit = static_cast<int>(limit);
    }
    filter->port = request.get_param_value("port");
    filter->result = request.get_param_value("result");
    filter->file = request.get_param_value("file");
    filter->instrument = request.get_param_value("instrument");
    filter->operatorName = request.get_param_value("operator");
    filter->fileSha256 = request.get_param_value("file_sha256");
    filter->since = request.get_param_value("since");
    filter->until = request.get_param_value("until");
    filter->station = request.get_param_value("station");
    static const char* const kResults[] = {"",       "running",   "done",
                                           "failed", "cancelled", "interrupted"};
    if (std::find(std::begin(kResults), std::end(kResults), filter->result) == std::end(kResults)) {
        *error = "result must be one of running, done, failed, cancelled, interrupted";
        return false;
    }
    if (!filter->fileSha256.empty() && !IsSha256(&filter->fileSha256)) {
        *error = "file_sha256 must be 64 hexadecimal digits";
        return false;
    }
    // A date, or a date and time (UTC unless it says otherwise), as the history writes them.
    static const std::regex kTime(
        R"(\d{4}-\d{2}-\d{2}([T ]\d{2}:\d{2}(:\d{2}(\.\d+)?)?(Z|[+-]\d{2}(:?\d{2})?)?)?)");
    for (const auto* time : {&filter->since, &filter->until}) {
        if (!time->empty() && !std::regex_match(*time, kTime)) {
            *error = "since and until must be ISO 8601 times, such as 2026-12-08T16:07:27Z";
            return false;
        }
    }
    return true;
}

}  // namespace

void AddSiteRoutes(httplib::Server& server, CSite& site) {
    server.Get("/api/site", [&site](const httplib::Request&, httplib::Response& response) {
        Reply(response, {200, site.Sender().Status()});
    });
    server.Get("/api/site/stations", [&site](const httplib::Request&, httplib::Response& response) {
        Reply(response, site.Queries().Stations());
    });
    server.Get("/api/site/history",
               [&site](const httplib::Request& request, httplib::Response& response) {
                   SiteHistoryFilter filter;
                   std::string error;
                   if (!ReadSiteFilter(request, &filter, &error)) {
                       Refuse(response, error);
                       return;
                   }
                   Reply(response, site.Queries().History(filter));
               });
    server.Get("/api/site/instruments",
               [&site](const httplib::Request& request, httplib::Response& response) {
                   std::string sha256 = request.get_param_value("file_sha256");
                   if (!IsSha256(&sha256)) {
                       Refuse(response,
                              "name the file by its hash: ?file_sha256= and 64 "
                              "hexadecimal digits");
                       return;
                   }
                   Reply(response, site.Queries().Recall(sha256));
               });
    server.Get("/api/site/instruments/(.+)",
               [&site](const httplib::Request& request, httplib::Response& response) {
                   Reply(response, site.Queries().Instrument(request.matches[1].str()));
               });
}
