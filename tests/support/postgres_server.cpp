// The test's PostgreSQL server: Debian's server programs (not on the PATH: pg_config names
// their folder), run through `runuser` as the postgres user when the test runs as root.
#include "tests/support/postgres_server.h"

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A loopback port no one listens on now.
int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

std::string CommandOutput(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
            out += buffer;
        }
        pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) {
        out.pop_back();
    }
    return out;
}

// Gives the path (and everything below it) to the server's user.
void GiveToServer(const std::string& path) {
    if (geteuid() != 0) {
        return;
    }
    const passwd* user = getpwnam("postgres");
    if (user == nullptr) {
        return;
    }
    std::error_code ignored;
    if (chown(path.c_str(), user->pw_uid, user->pw_gid) != 0) {
        return;
    }
    if (fs::is_directory(path)) {
        for (const auto& entry : fs::recursive_directory_iterator(path, ignored)) {
            [[maybe_unused]] const int status =
                chown(entry.path().c_str(), user->pw_uid, user->pw_gid);
        }
    }
}

}  // namespace

std::string PostgresServer::BinDir() {
    std::vector<std::string> candidates{CommandOutput("pg_config --bindir 2>/dev/null")};
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ignored)) {
        candidates.push_back((entry.path() / "bin").string());
    }
    for (const std::string& folder : candidates) {
        if (!folder.empty() && access((folder + "/initdb").c_str(), X_OK) == 0 &&
            access((folder + "/pg_ctl").c_str(), X_OK) == 0 &&
            access((folder + "/postgres").c_str(), X_OK) == 0) {
            return folder;
        }
    }
    return "";
}

PostgresServer::PostgresServer()
    : m_bin(BinDir()), m_data(m_dir.File("data")), m_sockets(m_dir.File("sockets")) {}

PostgresServer::~PostgresServer() {
    if (m_running) {
        Stop("immediate");
    }
}

int PostgresServer::RunAsServer(const std::string& command) {
    const std::string as = geteuid() == 0 ? "runuser -u postgres -- " : "";
    const int status =
        std::system((as + command + " >>'" + m_dir.File("commands.log") + "' 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool PostgresServer::Start(std::string* error, const std::string& certificate,
                           const std::string& key) {
    if (m_bin.empty()) {
        *error = "the PostgreSQL server's programs are not installed";
        return false;
    }
    if (!m_made) {
        fs::create_directories(m_sockets);
        GiveToServer(m_dir.Path().string());
        if (RunAsServer("'" + m_bin + "/initdb' -D '" + m_data +
                        "' -U postgres -A trust -E UTF8 --locale=C --no-sync") != 0) {
            *error = "initdb failed: " + TempDir::Read(m_dir.File("commands.log"));
            return false;
        }
        m_port = FreePort();
        std::ofstream hba(m_data + "/pg_hba.conf", std::ios::trunc);
        hba << "local all all trust\n"
               "host all all 127.0.0.1/32 scram-sha-256\n"
               "host all all ::1/128 scram-sha-256\n";
        hba.close();
        std::ofstream conf(m_data + "/postgresql.conf", std::ios::app);
        conf << "port = " << m_port << "\n"
             << "listen_addresses = '127.0.0.1'\n"
             << "unix_socket_directories = '" << m_sockets << "'\n"
             << "fsync = off\n"  // a crash of the server, never of the machine, is tested
             << "shared_buffers = 32MB\n"
             << "max_connections = 60\n";
        if (!certificate.empty()) {
            fs::copy_file(certificate, m_data + "/server.crt",
                          fs::copy_options::overwrite_existing);
            fs::copy_file(key, m_data + "/server.key", fs::copy_options::overwrite_existing);
            chmod((m_data + "/server.key").c_str(), 0600);
            conf << "ssl = on\n";
        }
        conf.close();
        GiveToServer(m_data);
        m_made = true;
    }
    if (RunAsServer("'" + m_bin + "/pg_ctl' -D '" + m_data + "' -l '" + m_dir.File("server.log") +
                    "' -w -t 60 start") != 0) {
        *error = "the server did not start: " + Log();
        return false;
    }
    m_running = true;
    return true;
}

bool PostgresServer::Stop(const std::string& mode) {
    if (!m_running) {
        return true;
    }
    m_running = RunAsServer("'" + m_bin + "/pg_ctl' -D '" + m_data + "' -m " + mode +
                            " -w -t 60 stop") != 0;
    return !m_running;
}

std::string PostgresServer::Log() const {
    return TempDir::Read(m_dir.File("server.log"));
}

bool PostgresServer::Sql(const std::string& database, const std::string& sql, std::string* value,
                         std::string* error) {
    const std::string conninfo = "host='" + m_sockets + "' port=" + std::to_string(m_port) +
                                 " user=postgres dbname='" + database + "'";
    PGconn* conn = PQconnectdb(conninfo.c_str());
    bool ok = PQstatus(conn) == CONNECTION_OK;
    std::string why = ok ? "" : PQerrorMessage(conn);
    if (ok) {
        PGresult* result = PQexec(conn, sql.c_str());
        const ExecStatusType status = PQresultStatus(result);
        ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
        if (!ok) {
            why = PQresultErrorMessage(result);
        } else if (value != nullptr) {
            *value = PQntuples(result) > 0 && PQnfields(result) > 0 ? PQgetvalue(result, 0, 0) : "";
        }
        PQclear(result);
    }
    PQfinish(conn);
    if (error != nullptr) {
        *error = why;
    }
    return ok;
}

std::string PostgresServer::Conninfo(const std::string& database, const std::string& user,
                                     const std::string& password, const std::string& more) {
    const std::string passFile = m_dir.File("pgpass-" + std::to_string(++m_passFiles));
    std::ofstream out(passFile, std::ios::trunc);
    out << "*:" << m_port << ":*:" << user << ":" << password << "\n";
    out.close();
    chmod(passFile.c_str(), 0600);
    return "host=127.0.0.1 port=" + std::to_string(m_port) + " dbname=" + database +
           " user=" + user + " passfile=" + passFile + (more.empty() ? "" : " " + more);
}
