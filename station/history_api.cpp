// The history's routes.  The CSV is written from a cursor in chunks of about 64 KiB on the
// server's worker thread: its memory stays the same for ten rows or ten million, and an error
// of the database in the middle ends the connection without the closing chunk, so that no
// client takes a cut export for a whole one.
#include "station/history_api.h"

#include "port_runs/instrument_serial.h"
#include "station/station_log.h"

#include <httplib.h>

#include <cctype>
#include <cstdlib>
#include <memory>

namespace {

using Json = nlohmann::ordered_json;

constexpr long kMaxJsonRows = 100000;
constexpr size_t kCsvChunkBytes = 64 * 1024;
constexpr size_t kMaxSearchLength = 256;

void Reply(httplib::Response& response, const ApiAnswer& answer) {
    response.status = answer.status;
    response.set_content(answer.body.dump(), "application/json");
}

void Refuse(httplib::Response& response, int status, const std::string& text) {
    Reply(response, ErrorAnswer(status, text));
}

// A file's hash as the history keeps it: 64 hex digits, lower case.  False for anything else.
bool ReadSha256(const std::string& text, std::string* sha256) {
    if (text.size() != 64) {
        return false;
    }
    std::string lower;
    for (const char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    *sha256 = lower;
    return true;
}

// The search text: trimmed, bounded, no control characters (a file name may be any other).
bool ReadSearch(const std::string& text, std::string* search) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        search->clear();
        return true;
    }
    *search = text.substr(first, text.find_last_not_of(" \t") - first + 1);
    for (const char c : *search) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return false;
        }
    }
    return search->size() <= kMaxSearchLength;
}

// The filter of a history request; false (with the reason) for a value that can't be one.
// `maxLimit` 0: no limit unless the request asks for one.
bool ReadFilter(const httplib::Request& request, long maxLimit, HistoryFilter* filter,
                std::string* error) {
    filter->limit = maxLimit == 0 ? 0 : filter->limit;
    if (request.has_param("limit")) {
        const std::string text = request.get_param_value("limit");
        char* end = nullptr;
        const long limit = std::strtol(text.c_str(), &end, 10);
        const long most = maxLimit == 0 ? 1000000000L : maxLimit;
        if (text.empty() || *end != '\0' || limit < 1 || limit > most) {
            *error = "limit must be a number from 1 to " + std::to_string(most);
            return false;
        }
        filter->limit = static_cast<int>(limit);
    }
    filter->port = request.get_param_value("port");
    filter->file = request.get_param_value("file");
    filter->result = request.get_param_value("result");
    filter->operatorName = request.get_param_value("operator");
    const std::string instrument = request.get_param_value("instrument");
    std::string why;
    if (!instrument.empty() && !CleanInstrumentSerial(instrument, &filter->instrument, &why)) {
        *error = "instrument: " + why;
        return false;
    }
    if (!ReadSearch(request.get_param_value("search"), &filter->search)) {
        *error = "search must be a serial number, an operator or a file: up to " +
                 std::to_string(kMaxSearchLength) + " characters, none a control character";
        return false;
    }
    const std::string sha256 = request.get_param_value("file_sha256");
    if (!sha256.empty() && !ReadSha256(sha256, &filter->fileSha256)) {
        *error = "file_sha256 must be a SHA-256 hash: 64 hexadecimal digits";
        return false;
    }
    for (const auto& [key, target] :
         {std::pair{"since", &filter->since}, std::pair{"until", &filter->until}}) {
        const std::string text = request.get_param_value(key);
        if (!text.empty() && !ReadHistoryTime(text, target)) {
            *error = std::string(key) +
                     " must be an ISO 8601 UTC time: 2026-12-08T16:07:27Z, 2026-12-08T16:07Z "
                     "or 2026-12-08";
            return false;
        }
    }
    static const char* const kResults[] = {"",       "running",   "done",
                                           "failed", "cancelled", "interrupted"};
    for (const char* result : kResults) {
        if (filter->result == result) {
            return true;
        }
    }
    *error = "result must be one of running, done, failed, cancelled, interrupted";
    return false;
}

}  // namespace

void AddHistoryRoutes(httplib::Server& server, CStation& station) {
    server.Get("/api/history",
               [&station](const httplib::Request& request, httplib::Response& response) {
                   HistoryFilter filter;
                   std::string error;
                   if (!ReadFilter(request, kMaxJsonRows, &filter, &error)) {
                       Refuse(response, 400, error);
                       return;
                   }
                   Reply(response, station.History(filter));
               });

    server.Get("/api/history.csv", [&station](const httplib::Request& request,
                                              httplib::Response& response) {
        HistoryFilter filter;
        std::string error;
        if (!ReadFilter(request, 0, &filter, &error)) {
            Refuse(response, 400, error);
            return;
        }
        std::shared_ptr<CHistoryCursor> cursor = station.SelectHistory(filter, &error);
        if (cursor == nullptr) {
            Refuse(response, 503, error);
            return;
        }
        response.set_header("Content-Disposition",
                            "attachment; filename=\"velko-station-history.csv\"");
        response.set_chunked_content_provider(
            "text/csv; charset=utf-8",
            [cursor, header = true](size_t, httplib::DataSink& sink) mutable {
                std::string chunk;
                chunk.reserve(kCsvChunkBytes + 4096);
                if (header) {
                    header = false;
                    chunk = HistoryCsvHeader();
                }
                HistoryRow row;
                while (chunk.size() < kCsvChunkBytes) {
                    if (!cursor->Next(&row)) {
                        if (cursor->Failed()) {
                            StationLog("the history's CSV export broke off: " + cursor->Error());
                            return false;  // no closing chunk: the client sees it cut
                        }
                        if (!chunk.empty() && !sink.write(chunk.data(), chunk.size())) {
                            return false;
                        }
                        sink.done();
                        return true;
                    }
                    chunk += HistoryCsvLine(row);
                }
                return sink.write(chunk.data(), chunk.size());
            });
    });

    server.Get(R"(/api/instruments/(.+))",
               [&station](const httplib::Request& request, httplib::Response& response) {
                   std::string serial, why;
                   if (!CleanInstrumentSerial(request.matches[1].str(), &serial, &why)) {
                       Refuse(response, 400, why);
                       return;
                   }
                   Reply(response, station.Instrument(serial));
               });

    server.Get("/api/instruments", [&station](const httplib::Request& request,
                                              httplib::Response& response) {
        std::string sha256;
        if (!ReadSha256(request.get_param_value("file_sha256"), &sha256)) {
            Refuse(response, 400,
                   "file_sha256 must name the file by its SHA-256 hash: 64 hexadecimal digits");
            return;
        }
        const std::string ever = request.get_param_value("ever");
        if (ever != "" && ever != "true" && ever != "false") {
            Refuse(response, 400, "ever must be true or false");
            return;
        }
        Reply(response, station.Carriers(sha256, ever == "true"));
    });
}
