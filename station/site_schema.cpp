// The site's schema steps.  Indexes serve the site's own questions: the newest runs first
// (started, with the key as the tie-break), a unit's record (its serial, newest first), the
// units that ever took a file (the file's hash, then the unit, with the result beside) and each
// unit's newest done run with its file (read from the index alone).
#include "station/site_schema.h"

#include <iterator>

namespace {

// The advisory lock of the schema's steps (any number no other program of the database uses:
// "VELKO" in ASCII).
constexpr char kLock[] = "SELECT pg_advisory_xact_lock(86697675797)";

const char* const kSteps[] = {
    // 1: the stations and their runs.
    "CREATE TABLE velko.schema_version ("
    " version integer PRIMARY KEY,"
    " applied timestamptz NOT NULL DEFAULT now());"
    "CREATE TABLE velko.stations ("
    " id uuid PRIMARY KEY,"
    " name text NOT NULL,"
    " host text NOT NULL,"
    " version text NOT NULL,"
    " first_seen timestamptz NOT NULL DEFAULT now(),"
    " last_seen timestamptz NOT NULL DEFAULT now());"
    "CREATE TABLE velko.runs ("
    " station_id uuid NOT NULL REFERENCES velko.stations,"
    " run_id bigint NOT NULL,"
    " started timestamptz NOT NULL,"
    " ended timestamptz,"
    " port text NOT NULL,"
    " file text NOT NULL,"
    " file_sha256 text NOT NULL,"
    " image_crc bigint NOT NULL,"
    " start bigint NOT NULL,"
    " \"end\" bigint NOT NULL,"
    " identify text,"
    " result text NOT NULL,"
    " error text,"
    " bytes bigint NOT NULL,"
    " seconds double precision,"
    " block_ms double precision,"
    " station text NOT NULL,"
    " version text NOT NULL,"
    " attempt bigint NOT NULL,"
    " block_rate bigint NOT NULL,"
    " instrument text,"
    " \"operator\" text,"
    " revision bigint NOT NULL,"
    " PRIMARY KEY (station_id, run_id));"
    "CREATE INDEX runs_started ON velko.runs (started, station_id, run_id);"
    "CREATE INDEX runs_instrument ON velko.runs (instrument, started);"
    "CREATE INDEX runs_file_sha256 ON velko.runs (file_sha256, instrument) INCLUDE (result);"
    "CREATE INDEX runs_instrument_done ON velko.runs (instrument, started, station_id, run_id)"
    " INCLUDE (file_sha256) WHERE result = 'done';",
};
static_assert(std::size(kSteps) == kSiteSchemaVersion);

// The version the schema is at: 0 when there is none yet, -1 when it can't be read.
int SchemaVersion(CSiteConnection& connection, std::string* error) {
    // Read from the catalog's table with the statement's own snapshot: a name lookup such as
    // to_regclass() may answer from the session's cache, which still holds "none" while a
    // table that another station made as this one waited for the lock is there.
    PgResult exists = connection.Exec(
        "SELECT count(*) FROM pg_catalog.pg_tables WHERE schemaname = 'velko'"
        " AND tablename = 'schema_version'",
        error);
    if (exists == nullptr) {
        return -1;
    }
    if (PgText(exists.get(), 0, 0) == "0") {
        return 0;
    }
    PgResult version =
        connection.Exec("SELECT coalesce(max(version), 0) FROM velko.schema_version", error);
    return version == nullptr ? -1 : std::stoi(PgText(version.get(), 0, 0).value_or("0"));
}

}  // namespace

int PrepareSiteSchema(CSiteConnection& connection, std::string* error) {
    std::string why;
    int version = SchemaVersion(connection, &why);
    if (version < 0) {
        *error = "can't read the site's schema velko: " + why;
        return 0;
    }
    while (version < kSiteSchemaVersion) {
        const int step = version + 1;
        auto fail = [&](const std::string& text) {
            std::string rolledBack;
            connection.Exec("ROLLBACK", &rolledBack);
            *error = text;
            return 0;
        };
        if (connection.Exec(std::string("BEGIN; ") + kLock, &why) == nullptr) {
            return fail("can't change the site's schema velko: " + why);
        }
        // Another station may have applied the step while this one waited for the lock.
        version = SchemaVersion(connection, &why);
        if (version < 0) {
            return fail("can't read the site's schema velko: " + why);
        }
        if (version < step) {
            std::string script;
            if (version == 0) {
                PgResult schema = connection.Exec(
                    "SELECT count(*) FROM pg_namespace WHERE nspname = 'velko'", &why);
                if (schema == nullptr) {
                    return fail("can't read the site database: " + why);
                }
                if (PgText(schema.get(), 0, 0) == "0") {
                    script = "CREATE SCHEMA velko;";
                }
            }
            script += kSteps[step - 1];
            script +=
                "INSERT INTO velko.schema_version (version) VALUES (" + std::to_string(step) + ")";
            if (connection.Exec(script, &why) == nullptr) {
                return fail(version == 0 ? "the site database has no schema velko and making it "
                                           "failed: " +
                                               why +
                                               " (velko-station site-init, run as a user that "
                                               "may create it, makes it)"
                                         : "can't bring the site's schema velko to version " +
                                               std::to_string(step) + ": " + why);
            }
            version = step;
        }
        if (connection.Exec("COMMIT", &why) == nullptr) {
            return fail("can't change the site's schema velko: " + why);
        }
    }
    return version;
}
