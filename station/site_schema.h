// The site database's schema `velko`, which reporting tools query as well as the stations: the
// stations (velko.stations), every run of each (velko.runs, the columns of a station's history
// with their PostgreSQL types, keyed by the station and the run's id in its history), and the
// version the schema is at (velko.schema_version, a row a step).
//
// Numbered steps, each applied in a transaction of its own under an advisory lock, so that
// stations starting at the same moment apply each step once.  A schema already at this
// version is only read: a station's user needs no right to create anything then.
#pragma once

#include "station/site_connection.h"

#include <string>

constexpr int kSiteSchemaVersion = 1;

// Brings the schema to kSiteSchemaVersion (a newer one is left alone); the version it is at,
// or 0 with the reason.
int PrepareSiteSchema(CSiteConnection& connection, std::string* error);
