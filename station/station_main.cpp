// velko-station: a bench that programs many instruments, remembers every run, and shows the
// bench live in a browser page.  Parses the command line with CLI11, opens the history, starts
// the bench and its HTTP face, and runs until SIGINT or SIGTERM: then every running port is
// cancelled before its next block and recorded, and the program ends with status 0.
#include "framework/regular_file.h"
#include "port_runs/exit_status.h"
#include "port_runs/interrupt.h"
#include "port_runs/serial_ports.h"
#include "port_runs/sign_option.h"
#include "station/hangup_reload.h"
#include "station/http_api.h"
#include "station/operators.h"
#include "station/password_hash.h"
#include "station/password_prompt.h"
#include "station/site.h"
#include "station/site_schema.h"
#include "station/station.h"
#include "station/station_log.h"
#include "station/tls_context.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <iterator>
#include <thread>

namespace {

constexpr size_t kMinTokenLength = 16;

const char kFooter[] =
    "Examples:\n"
    "  velko-station --shelf /srv/firmware --watch '/dev/serial/by-id/*'\n"
    "  velko-station --shelf . --port /dev/ttyUSB0 --port /dev/ttyUSB1 --auto VYRA_FULL.A37\n"
    "  velko-station --listen 0.0.0.0:8370 --token-file /etc/velko/token --ports-from bench.txt\n"
    "  velko-station --watch '/dev/serial/by-id/*' --operators /etc/velko/operators "
    "--require-instrument\n"
    "  velko-station hash-password   (the HASH of a line of the operators file)\n"
    "  velko-station --site 'postgresql://velko@db.example/velko?sslmode=verify-full' --watch "
    "'/dev/serial/by-id/*'\n"
    "  velko-station site-init 'postgresql://admin@db.example/velko'\n"
    "  velko-station --listen 0.0.0.0:8443 --token-file /etc/velko/token --tls-cert bench.pem \\\n"
    "                --tls-key bench.key --watch '/dev/serial/by-id/*'\n"
    "Then open the address it prints in a browser.";

constexpr int kSiteDrainMs = 2000;  // sending on after the bench stopped, while rows wait

// Descriptors beside the connections: the history, the ports, the door's own, the libraries'.
constexpr rlim_t kDescriptorsBesideConnections = 256;

// "ADDR:PORT" or "[V6]:PORT" into its parts; false when it is neither.
bool SplitListen(const std::string& listen, std::string* host, int* port) {
    const size_t colon = listen.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == listen.size()) {
        return false;
    }
    *host = listen.substr(0, colon);
    if (host->front() == '[' && host->back() == ']') {
        *host = host->substr(1, host->size() - 2);
    }
    const std::string digits = listen.substr(colon + 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 5) {
        return false;
    }
    *port = std::stoi(digits);
    return *port <= 65535;
}

// The token of --token-file: its one line without the white space around it.
bool ReadToken(const std::string& path, std::string* token, std::string* error) {
    // A regular file only: a device or FIFO could hold the start up for ever.
    std::string line;
    if (!ReadRegularFile(path.c_str(), &line)) {
        *error = "can't read the token file " + path + " (a regular file)";
        return false;
    }
    line = line.substr(0, line.find('\n'));
    const size_t first = line.find_first_not_of(" \t\r\n");
    const size_t last = line.find_last_not_of(" \t\r\n");
    *token = first == std::string::npos ? "" : line.substr(first, last - first + 1);
    if (token->size() < kMinTokenLength) {
        *error = "the token in " + path + " is shorter than " + std::to_string(kMinTokenLength) +
                 " characters";
        return false;
    }
    return true;
}

// Where the page's files are: beside an installed program (../share/velko/web), else the
// source tree the program was built from.
std::string DefaultWebFolder() {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        self[length] = '\0';
        std::string folder = self;
        folder = folder.substr(0, folder.rfind('/'));
        const std::string installed = folder.substr(0, folder.rfind('/')) + "/share/velko/web";
        if (access((installed + "/index.html").c_str(), R_OK) == 0) {
            return installed;
        }
    }
    return ORVANE_WEB_SOURCE_DIR;
}

std::string HostName() {
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "unknown";
}

// Lets the process hold the connections it admits: raises the soft limit of open files as
// far as the hard one allows, and lowers the bound of connections where that is not enough.
void RaiseDescriptorLimit(DoorLimits* door) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return;
    }
    const rlim_t wanted = static_cast<rlim_t>(door->total) + kDescriptorsBesideConnections;
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur =
            limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur < wanted) {
        const rlim_t room = limit.rlim_cur > 2 * kDescriptorsBesideConnections
                                ? limit.rlim_cur - kDescriptorsBesideConnections
                                : limit.rlim_cur / 2;
        door->total = static_cast<int>(room);
        door->perAddress = std::min(door->perAddress, door->total);
        std::fprintf(stderr,
                     "velko-station: at most %d connections at once (this process may "
                     "open %llu files)\n",
                     door->total, static_cast<unsigned long long>(limit.rlim_cur));
    }
}

int Fail(const std::string& text) {
    std::fprintf(stderr, "velko-station: error: %s\n", text.c_str());
    return kExitUsage;
}

// velko-station hash-password: the HASH field of an operators file's line, on stdout.
int RunHashPassword() {
    std::string password, error;
    if (!ReadPassword(&password, &error)) {
        return Fail(error);
    }
    const std::string hash = HashPassword(password);
    if (hash.empty()) {
        std::fprintf(stderr, "velko-station: error: the system's random source failed\n");
        return kExitFailed;
    }
    std::printf("%s\n", hash.c_str());
    return kExitOk;
}

// site-init: the site's schema made or brought up to date, as a database administrator
// does it before the stations' own users (who may not create anything) connect.
int SiteInit(const std::string& conninfo) {
    const std::string problem = SiteConninfoProblem(conninfo);
    if (!problem.empty()) {
        return Fail(problem);
    }
    CSiteConnection connection;
    std::string error;
    if (!connection.Connect(conninfo, CSiteConnection::Limits{}, &error)) {
        std::fprintf(stderr, "velko-station: error: can't connect to the site database: %s\n",
                     error.c_str());
        return kExitFailed;
    }
    const int version = PrepareSiteSchema(connection, &error);
    if (version == 0) {
        std::fprintf(stderr, "velko-station: error: %s\n", error.c_str());
        return kExitFailed;
    }
    std::printf("velko-station: the site's schema velko is at version %d\n", version);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    // A station runs for weeks, starting a thread for every run and copying a 256 KiB image
    // for every request.  Left to itself the allocator gives many threads arenas of their own
    // and moves large blocks from mmap into those arenas, where what a batch freed stays
    // held; two arenas, and images always from mmap, keep the resident memory near what is
    // in use.
    mallopt(M_ARENA_MAX, 2);
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);

    CLI::App app{"A bench that programs many Vyra instruments at once, keeps a history of every "
                 "run, and shows the bench live in a browser page.",
                 "velko-station"};
    app.set_version_flag("--version", "velko-station " ORVANE_VERSION);
    std::string listen = "127.0.0.1:8370", database = "velko-station.db", shelf = ".";
    std::vector<std::string> ports, watch;
    std::string portsFrom, autoFile, signLibrary, tokenFile, webFolder, site, name, initSite;
    std::string tlsCert, tlsKey;
    int32_t blockRate = kDefaultBlockBaudRate;
    int retries = 0;
    DoorLimits door;
    app.add_option("--listen", listen,
                   "the address and port to serve the page and API on; any address other than "
                   "the loopback one needs --token-file")
        ->capture_default_str();
    app.add_option("--db", database, "the history, an SQLite file (made when missing)")
        ->capture_default_str();
    app.add_option("--shelf", shelf,
                   "the folder of the application files the bench may program (*.a37, *.s19, "
                   "*.s28, *.s37, *.srec, *.mot); nothing outside it is read")
        ->capture_default_str();
    app.add_option("--port", ports, "a slot: a serial port; give it once for each port")
        ->type_size(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--ports-from", portsFrom, "a file with one port a line (# starts a comment)");
    app.add_option("--watch", watch,
                   "a glob of ports that come and go, such as '/dev/serial/by-id/*': a slot for "
                   "every path that matches while the station runs")
        ->type_size(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--auto", autoFile,
                   "a shelf file to program on every port that appears, once each time");
    app.add_option("--sign", signLibrary, "sign every image with this signing library first");
    app.add_option("--token-file", tokenFile,
                   "a file whose one line (16 characters or more) every API request must carry "
                   "as 'Authorization: Bearer TOKEN'");
    auto* certOption =
        app.add_option("--tls-cert", tlsCert,
                       "serve HTTPS with this certificate (PEM; the chain after it, if any)");
    auto* keyOption = app.add_option(
        "--tls-key", tlsKey, "the certificate's private key (PEM, readable by its owner only)");
    certOption->needs(keyOption);
    keyOption->needs(certOption);
    app.add_option("--max-connections", door.total,
                   "connections at once; at the bound a new one takes the place of the one "
                   "that has waited longest for its request")
        ->capture_default_str()
        ->check(CLI::Range(16, 65536));
    app.add_option("--max-per-address", door.perAddress,
                   "connections one client address may hold at once; more are closed at once")
        ->capture_default_str()
        ->check(CLI::Range(1, 65536));
    // The block phase's rate of every run, unless a request names one: it goes to the engine
    // as PortRunSettings::blockRate (port_runs/port_run.h says where it ends).
    app.add_option("--block-rate", blockRate,
                   "the line rate of the block phase: 19200, 38400, 57600 or 115200")
        ->capture_default_str()
        ->check(CLI::IsMember(std::vector<int32_t>(std::begin(kBlockBaudRates),
                                                   std::end(kBlockBaudRates))));
    app.add_option("--retry", retries,
                   "run a port whose run failed again from the start, up to N more times")
        ->capture_default_str()
        ->check(CLI::Range(0, 100));
    bool requireInstrument = false;
    std::string operatorsFile;
    app.add_option("--operators", operatorsFile,
                   "a file of the operators who sign in, one 'NAME ROLE HASH' a line (ROLE "
                   "operator or supervisor, HASH from hash-password); read again on SIGHUP");
    app.add_flag("--require-instrument", requireInstrument,
                 "every run must name the serial number of its instrument (a request without "
                 "one is refused); no automatic file then");
    app.add_option("--web", webFolder, "the folder of the page's files (default: the installed one)");
    app.add_option("--site", site,
                   "copy every run to this site database: a libpq connection string or "
                   "postgresql:// URI, without a password (that comes from ~/.pgpass, "
                   "PGPASSFILE or a service file)");
    app.add_option("--name", name, "the station's name in its runs and the site (default: the "
                                   "host's name)");
    CLI::App* init = app.add_subcommand(
        "site-init", "make or upgrade the site database's schema velko, then end (no bench)");
    init->add_option("CONNINFO", initSite, "the site database, as for --site")->required();
    app.footer(kFooter);
    CLI::App* hashCommand = app.add_subcommand(
        "hash-password",
        "Read a password from standard input (on a terminal without echo, asked twice) and "
        "print its salted hash, the HASH of a line of the --operators file.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? kExitOk : kExitUsage;
    }
    if (hashCommand->parsed()) {
        return RunHashPassword();
    }
    if (*init) {
        return SiteInit(initSite);
    }
    if (!site.empty()) {
        const std::string problem = SiteConninfoProblem(site);
        if (!problem.empty()) {
            return Fail(problem);
        }
    }
    if (app.count("--name") > 0 && name.find_first_not_of(" \t") == std::string::npos) {
        return Fail("--name wants a name");
    }

    HttpSettings http;
    if (door.perAddress > door.total) {
        return Fail("--max-per-address can't be more than --max-connections");
    }
    RaiseDescriptorLimit(&door);
    http.door = door;
    CTlsContext tls;
    if (!tlsCert.empty()) {
        std::string error;
        if (!tls.Load(tlsCert, tlsKey, &error)) {
            return Fail(error);
        }
    }
    if (!SplitListen(listen, &http.host, &http.port)) {
        return Fail("--listen wants ADDRESS:PORT, such as 127.0.0.1:8370, not " + listen);
    }
    if (!tokenFile.empty()) {
        std::string error;
        if (!ReadToken(tokenFile, &http.token, &error)) {
            return Fail(error);
        }
    } else if (!CHttpApi::IsLoopback(http.host)) {
        return Fail("listening on " + http.host +
                    " lets the network program instruments: give --token-file");
    }
    http.webFolder = webFolder.empty() ? DefaultWebFolder() : webFolder;
    COperators operators;
    CHangupReload hangup;
    if (!operatorsFile.empty()) {
        std::string error;
        if (!operators.Load(operatorsFile, &error)) {
            return Fail(error);
        }
        http.operators = &operators;
    }
    // Before any thread starts, so that SIGHUP reaches only the watcher's sigwait(): a reload
    // (systemctl reload) never ends the bench, with an operators file or without.
    CHangupReload::Block();

    StationSettings settings;
    settings.shelf = shelf;
    settings.ports = ports;
    if (!portsFrom.empty() && !ReadPortList(portsFrom, &settings.ports)) {
        return Fail("can't read the port list " + portsFrom);
    }
    const std::string twice = SamePortTwice(settings.ports);
    if (!twice.empty()) {
        return Fail(twice);
    }
    settings.watch = watch;
    settings.listPorts = settings.ports.empty() && watch.empty();
    settings.autoFile = autoFile;
    settings.run.blockRate = blockRate;
    settings.run.retries = retries;
    settings.requireInstrument = requireInstrument;
    settings.stationName = name.empty() ? HostName() : name;
    if (!LoadSignOption(signLibrary, &settings.signApp)) {
        return kExitUsage;
    }

    CHistory history;
    std::string error;
    if (!history.Open(database, &error)) {
        return Fail(error);
    }
    if (history.InterruptedAtOpen() > 0) {
        std::fprintf(stderr, "velko-station: %d run(s) were interrupted when the station last "
                     "stopped; the history says so\n", history.InterruptedAtOpen());
    }
    InstallInterruptHandler();
    SiteSettings siteSettings;
    siteSettings.conninfo = site;
    siteSettings.name = settings.stationName;
    siteSettings.host = HostName();
    siteSettings.version = ORVANE_VERSION;
    CSite siteCopy(siteSettings, history);
    CStation station(settings, history);
    CHttpApi api(station, http, tls.Get() != nullptr ? &tls : nullptr);
    api.SetSite(&siteCopy);
    if (!api.Bind(&error) || !station.Start(&error)) {
        return Fail(error);
    }
    if (!site.empty()) {
        StationLog("site: station " + history.StationId() + " copies its runs to the site " +
                   "database; " + std::to_string(history.UnsentCount()) + " run row(s) to send");
    }
    siteCopy.Start([&station](const nlohmann::ordered_json& event) { station.Publish(event); });
    const std::string shown = http.host.find(':') != std::string::npos
                                  ? "[" + http.host + "]"
                                  : http.host == "0.0.0.0" ? HostName() : http.host;
    // Off loopback without TLS the token (and what the API says) crosses the network as it is.
    const char* unencrypted =
        !api.ServesTls() && !CHttpApi::IsLoopback(http.host)
            ? " (unencrypted: the token travels in clear text; serve HTTPS with --tls-cert and "
              "--tls-key)"
            : "";
    std::printf("velko-station: open %s://%s:%d/%s\n", api.ServesTls() ? "https" : "http",
                shown.c_str(), api.Port(), unencrypted);
    std::fflush(stdout);

    hangup.Start([&operators, &operatorsFile] {
        if (operatorsFile.empty()) {
            StationLog("SIGHUP: there is no operators file to read again");
            return;
        }
        std::string why;
        if (operators.Reload(&why)) {
            StationLog("the operators file " + operatorsFile +
                       " was read again: " + std::to_string(operators.Count()) + " operator(s)");
        } else {
            StationLog("the operators file was not taken: " + why + "; the " +
                       std::to_string(operators.Count()) + " operator(s) read before stay");
        }
    });
    std::thread server([&api] { api.Serve(); });
    while (!WaitForInterrupt(60000)) {
    }
    std::fprintf(stderr, "velko-station: stopping: every running port stops before its next "
                 "block (a second signal ends at once)\n");
    station.Stop();
    siteCopy.Stop(kSiteDrainMs);
    api.Stop();
    server.join();
    hangup.Stop();
    history.Close();
    std::fprintf(stderr, "velko-station: stopped\n");
    return kExitOk;
}
