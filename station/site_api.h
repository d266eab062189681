// The site's part of the HTTP API: the sender's state and the questions to the site database.
//   GET /api/site                     the state of this station's copy to the site
//   GET /api/site/stations            every station and its day
//   GET /api/site/history             the runs of every station (the history's filters and
//                                     station=NAME or ID)
//   GET /api/site/instruments/SERIAL  a unit's runs on every station
//   GET /api/site/instruments?file_sha256=HEX  the units that carry a file
#pragma once

#include "station/site.h"

namespace httplib {
class Server;
}

void AddSiteRoutes(httplib::Server& server, CSite& site);
