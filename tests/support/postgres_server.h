// A PostgreSQL server of a test's own (Linux): initdb into a temporary folder, the server on a
// socket folder inside it and a free loopback port, stopped at the end.  The machine's own
// clusters are never touched.  Run as root, the server runs as the `postgres` user (it refuses
// root), which owns the folder.
//
// Password logins over TCP (scram-sha-256) for every role; the test's own administration goes
// through the socket as the superuser, without a password.  With a certificate and key it
// also speaks TLS.
#pragma once

#include "tests/support/temp_dir.h"

#include <libpq-fe.h>

#include <string>

class PostgresServer {
public:
    // The folder of initdb, pg_ctl and postgres; empty when the server is not installed.
    static std::string BinDir();

    PostgresServer();
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // Makes the cluster (the first time) and starts the server, waiting until it accepts
    // connections.  With certificate and key files (PEM), TLS is on too.  False with the
    // reason (and the server's log) when it can't.
    bool Start(std::string* error, const std::string& certificate = "",
               const std::string& key = "");
    // Stops it: "fast" ends the sessions cleanly, "immediate" is a crash.
    bool Stop(const std::string& mode = "fast");
    bool Running() const { return m_running; }

    int Port() const { return m_port; }
    // A folder for the test's own files (certificates, password files), readable by the
    // server's user.
    std::string File(const std::string& name) const { return m_dir.File(name); }

    // Runs SQL as the superuser in a database; the first value of its last result (or "").
    // False with the server's words when it failed.
    bool Sql(const std::string& database, const std::string& sql, std::string* value = nullptr,
             std::string* error = nullptr);
    // A libpq connection string for a role over TCP, its password in a password file of its
    // own (never in the string).
    std::string Conninfo(const std::string& database, const std::string& user,
                         const std::string& password, const std::string& more = "");
    // The server's log so far.
    std::string Log() const;

private:
    // Runs a server program (as the server's user when this is root); its exit status.
    int RunAsServer(const std::string& command);

    TempDir m_dir;
    std::string m_bin, m_data, m_sockets;
    int m_port = 0;
    bool m_made = false;
    bool m_running = false;
    int m_passFiles = 0;
};
