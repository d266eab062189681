// The history's routes of the API: the runs as JSON and as CSV, filtered; each instrument's
// record; the recall list of a file.
//
//   GET /api/history?limit&port&result&file&instrument&operator&file_sha256&search&since&until
//   GET /api/history.csv?(the same)      every row the filters select, streamed
//   GET /api/instruments/SERIAL          {"instrument","current","runs"}, 404 if never seen
//   GET /api/instruments?file_sha256=HEX[&ever=true]   {"instruments":[{"instrument","current"}]}
#pragma once

#include "station/station.h"

namespace httplib {
class Server;
}

void AddHistoryRoutes(httplib::Server& server, CStation& station);
