// The station's HTTP face: the JSON API, the event stream and the page, routed by cpp-httplib
// behind the station's own door (http_door: connections, deadlines, TLS), with the bench's
// rules before any route: on loopback only loopback host names (no DNS rebinding), a token for
// everything under /api/ when one is set, JSON-only POSTs with bounded bodies, and pages
// served from a list fixed at start, never from a path a request names.
#pragma once

#include "station/operators.h"
#include "station/sign_in.h"
#include "station/http_door.h"
#include "station/station.h"
#include "station/tls_context.h"

#include <map>
#include <memory>
#include <string>

namespace httplib {
class Server;
struct Request;
}  // namespace httplib
class CRoutedServer;
class CSite;

struct HttpSettings {
    std::string host = "127.0.0.1";
    int port = 8370;                // 0: any free port
    std::string token;              // empty: none asked for
    std::string webFolder;          // the page and its assets
    COperators* operators = nullptr;  // who may sign in (null: nobody signs in)
    DoorLimits door;                // connections, deadlines and threads
};

class CHttpApi {
public:
    // `tls` (null: plain HTTP) must outlive the API.
    CHttpApi(CStation& station, HttpSettings settings, const CTlsContext* tls = nullptr);
    ~CHttpApi();
    CHttpApi(const CHttpApi&) = delete;
    CHttpApi& operator=(const CHttpApi&) = delete;

    // The site's routes (/api/site...) answer from it; set before Bind.
    void SetSite(CSite* site) { m_site = site; }
    // Loads the page's files and binds the address.  False with the reason when it can't.
    bool Bind(std::string* error);
    // The port bound (useful when asked for any).
    int Port() const { return m_port; }
    // Serves until Stop; call on a thread of its own.
    void Serve();
    void Stop();

    // True when the page and the API are served over TLS (a session cookie then carries
    // Secure).
    bool ServesTls() const { return m_tls != nullptr; }

    // True for the host names that mean this machine only.
    static bool IsLoopback(const std::string& host);

private:
    void Routes();
    // Reads the files of a folder (and of its folders, to a depth) into the page's list.
    bool LoadWebFolder(const std::string& folder, const std::string& prefix, int depth);
    bool HostAllowed(const std::string& hostHeader) const;
    // True when the request carries the token of --token-file.
    bool TokenGiven(const httplib::Request& request) const;

    CStation& m_station;
    CSite* m_site = nullptr;
    HttpSettings m_settings;
    const CTlsContext* m_tls;
    int m_port = 0;
    std::unique_ptr<CRoutedServer> m_server;
    std::unique_ptr<CHttpDoor> m_door;
    CSignIn m_signIn;
    struct WebFile {
        std::string type;
        std::string content;
    };
    std::map<std::string, WebFile> m_web;  // request path -> file
};
