// The station's HTTP face: the JSON API, the event stream and the page, over cpp-httplib, with
// the bench's rules at the door: on loopback only loopback host names (no DNS rebinding), a
// token for everything under /api/ when one is set, JSON-only POSTs with bounded bodies, and
// pages served from a list fixed at start, never from a path a request names.
#pragma once

#include "station/operators.h"
#include "station/sign_in.h"
#include "station/station.h"

#include <atomic>
#include <map>
#include <memory>
#include <string>

namespace httplib {
class Server;
struct Request;
}  // namespace httplib
class CSite;

struct HttpSettings {
    std::string host = "127.0.0.1";
    int port = 8370;                // 0: any free port
    std::string token;              // empty: none asked for
    std::string webFolder;          // the page and its assets
    bool tls = false;               // served over TLS: the session cookie is Secure
    COperators* operators = nullptr;  // who may sign in (null: nobody signs in)
};

class CHttpApi {
public:
    CHttpApi(CStation& station, HttpSettings settings);
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
    int m_port = 0;
    std::atomic<bool> m_serving{false}, m_served{false}, m_stopAsked{false};
    std::unique_ptr<httplib::Server> m_server;
    CSignIn m_signIn;
    struct WebFile {
        std::string type;
        std::string content;
    };
    std::map<std::string, WebFile> m_web;  // request path -> file
};
