// The HTTP routes.  Every request first passes the door (pre-routing): host, token, and for a
// POST its type; cpp-httplib refuses an over-long body itself (413).  The event stream gives
// each page its own queue from the station's hub and writes from it on the server's worker
// thread, with a comment line every 15 s so that an idle stream is not cut.
#include "station/http_api.h"

#include "framework/regular_file.h"
#include "station/history_api.h"
#include "station/site_api.h"

#include <dirent.h>
#include <httplib.h>
#include <openssl/crypto.h>
#include <sys/stat.h>

#include <thread>
#include <utility>

namespace {

using Json = nlohmann::ordered_json;

constexpr size_t kMaxBodyBytes = 64 * 1024;
constexpr int kKeepAliveMs = 15000;
constexpr size_t kWorkerThreads = 48;  // the event streams (at most 32) and the API
constexpr int kStreamRetryMs = 2000;   // how soon a page's stream reconnects

const char* ContentType(const std::string& name) {
    static const std::pair<const char*, const char*> kTypes[] = {
        {".html", "text/html; charset=utf-8"},  {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"}, {".mjs", "text/javascript; charset=utf-8"},
        {".json", "application/json"},           {".svg", "image/svg+xml"},
        {".png", "image/png"},                   {".ico", "image/x-icon"},
        {".txt", "text/plain; charset=utf-8"},
    };
    for (const auto& [extension, type] : kTypes) {
        const std::string ext = extension;
        if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0) {
            return type;
        }
    }
    return nullptr;
}

void Reply(httplib::Response& response, const CStation::Answer& answer) {
    response.status = answer.status;
    response.set_content(answer.body.dump(), "application/json");
}

void Refuse(httplib::Response& response, int status, const std::string& text) {
    response.status = status;
    response.set_content(Json{{"error", text}}.dump(), "application/json");
}

bool SameToken(const std::string& given, const std::string& token) {
    return given.size() == token.size() &&
           CRYPTO_memcmp(given.data(), token.data(), token.size()) == 0;
}

}  // namespace

CHttpApi::CHttpApi(CStation& station, HttpSettings settings)
    : m_station(station),
      m_settings(std::move(settings)),
      m_server(new httplib::Server),
      m_signIn(
          m_settings.operators,
          [this](const httplib::Request& request) { return TokenGiven(request); }, m_settings.tls) {
}

bool CHttpApi::TokenGiven(const httplib::Request& request) const {
    if (m_settings.token.empty()) {
        return false;
    }
    std::string given;
    const std::string authorization = request.get_header_value("Authorization");
    if (authorization.rfind("Bearer ", 0) == 0) {
        given = authorization.substr(7);
    } else if (request.path == "/api/events" || request.path == "/api/history.csv") {
        // EventSource can't send a header, nor can a plain link to a download.
        given = request.get_param_value("token");
    }
    return SameToken(given, m_settings.token);
}

CHttpApi::~CHttpApi() {
    Stop();
}

bool CHttpApi::IsLoopback(const std::string& host) {
    return host == "127.0.0.1" || host == "localhost" || host == "::1" || host == "[::1]";
}

bool CHttpApi::HostAllowed(const std::string& hostHeader) const {
    if (!IsLoopback(m_settings.host)) {
        return true;  // bound for the network: the token guards it
    }
    const std::string port = ":" + std::to_string(m_port);
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) {
        if (hostHeader == std::string(name) + port || (m_port == 80 && hostHeader == name)) {
            return true;
        }
    }
    return false;
}

bool CHttpApi::Bind(std::string* error) {
    // The page's files, read once: a request can name only what is in this list.
    if (!LoadWebFolder(m_settings.webFolder, "/", 0)) {
        *error = "can't read the page's folder " + m_settings.webFolder;
        return false;
    }
    if (m_web.count("/index.html") == 0) {
        *error = "the page's folder " + m_settings.webFolder + " holds no index.html";
        return false;
    }
    m_web["/"] = m_web["/index.html"];

    m_server->new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
    m_server->set_payload_max_length(kMaxBodyBytes);
    m_server->set_read_timeout(10, 0);
    m_server->set_write_timeout(10, 0);
    m_server->set_keep_alive_timeout(5);
    Routes();
    if (m_settings.port == 0) {
        m_port = m_server->bind_to_any_port(m_settings.host);
        if (m_port <= 0) {
            *error = "can't listen on " + m_settings.host;
            return false;
        }
    } else {
        if (!m_server->bind_to_port(m_settings.host, m_settings.port)) {
            *error = "can't listen on " + m_settings.host + ":" + std::to_string(m_settings.port) +
                     " (in use, or not an address of this machine)";
            return false;
        }
        m_port = m_settings.port;
    }
    return true;
}

bool CHttpApi::LoadWebFolder(const std::string& folder, const std::string& prefix, int depth) {
    constexpr int kMaxDepth = 2;  // the page's folder and one level below (vendor/)
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return false;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        const std::string path = folder + "/" + name;
        struct stat info {};
        if (name.front() == '.' || lstat(path.c_str(), &info) != 0) {
            continue;
        }
        if (S_ISDIR(info.st_mode) && depth + 1 < kMaxDepth) {
            LoadWebFolder(path, prefix + name + "/", depth + 1);
            continue;
        }
        const char* type = ContentType(name);
        if (type == nullptr || !S_ISREG(info.st_mode)) {
            continue;
        }
        std::string content;
        if (ReadRegularFile(path.c_str(), &content)) {
            m_web[prefix + name] = WebFile{type, std::move(content)};
        }
    }
    closedir(dir);
    return true;
}

void CHttpApi::Serve() {
    m_serving = true;
    if (!m_stopAsked) {
        m_server->listen_after_bind();
    }
    m_served = true;
}

void CHttpApi::Stop() {
    // cpp-httplib forgets a stop that comes before its listening loop has begun, and would
    // then serve for ever: a stop asked right after the start waits until the loop runs.
    m_stopAsked = true;
    if (m_serving) {
        while (!m_server->is_running() && !m_served) {
            std::this_thread::yield();
        }
    }
    if (m_server) {
        m_server->stop();
    }
}

void CHttpApi::Routes() {
    httplib::Server& server = *m_server;

    server.set_pre_routing_handler([this](const httplib::Request& request,
                                          httplib::Response& response) {
        if (!HostAllowed(request.get_header_value("Host"))) {
            Refuse(response, 403, "this station answers only to its loopback address");
            return httplib::Server::HandlerResponse::Handled;
        }
        const bool api = request.path.rfind("/api/", 0) == 0;
        if (api && m_signIn.Required()) {
            // A signed-in operator, or the token.
            if (!m_signIn.Admit(request, response)) {
                return httplib::Server::HandlerResponse::Handled;
            }
        } else if (api && !m_settings.token.empty()) {
            if (!TokenGiven(request)) {
                response.set_header("WWW-Authenticate", "Bearer");
                Refuse(response, 401, "a token is needed");
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        if (request.method == "POST") {
            const std::string type = request.get_header_value("Content-Type");
            if (type.substr(0, type.find(';')) != "application/json") {
                Refuse(response, 415, "send JSON (Content-Type: application/json)");
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    auto jsonPost = [&server](const char* path, auto operation) {
        server.Post(path, [operation](const httplib::Request& request, httplib::Response& response) {
            const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
            if (body.is_discarded() || !body.is_object()) {
                Refuse(response, 400, "the body is no JSON object");
                return;
            }
            Reply(response, operation(body, request));
        });
    };
    // The runs record who asked for them: a signed-in operator, or nobody.
    jsonPost("/api/runs", [this](const nlohmann::json& body, const httplib::Request& request) {
        return m_station.StartRuns(body, m_signIn.OperatorOf(request));
    });
    jsonPost("/api/cancel", [this](const nlohmann::json& body, const httplib::Request&) {
        return m_station.Cancel(body);
    });
    jsonPost("/api/auto", [this](const nlohmann::json& body, const httplib::Request& request) {
        return m_station.SetAuto(body, m_signIn.OperatorOf(request));
    });
    m_signIn.AddRoutes(server);

    server.Get("/api/ports", [this](const httplib::Request&, httplib::Response& response) {
        Reply(response, m_station.Ports());
    });
    server.Get("/api/shelf", [this](const httplib::Request&, httplib::Response& response) {
        Reply(response, m_station.Shelf());
    });
    server.Get("/api/station", [this](const httplib::Request&, httplib::Response& response) {
        Reply(response, m_station.Info());
    });
    server.Get("/api/stats", [this](const httplib::Request&, httplib::Response& response) {
        Reply(response, m_station.Stats());
    });
    AddHistoryRoutes(server, m_station);

    if (m_site != nullptr) {
        AddSiteRoutes(server, *m_site);
    }

    server.Get("/api/events", [this](const httplib::Request&, httplib::Response& response) {
        std::shared_ptr<CEventHub::Client> client = m_station.Subscribe();
        if (client == nullptr) {
            Refuse(response, 503, "too many event streams are open");
            return;
        }
        response.set_header("Cache-Control", "no-store");
        response.set_chunked_content_provider(
            "text/event-stream",
            [client, first = true](size_t, httplib::DataSink& sink) mutable {
                if (first) {
                    first = false;
                    const std::string retry = "retry: " + std::to_string(kStreamRetryMs) + "\n\n";
                    if (!sink.write(retry.data(), retry.size())) {
                        return false;
                    }
                }
                const std::optional<std::string> event = client->Next(kKeepAliveMs);
                if (client->Closed()) {
                    return false;  // dropped for falling behind, or the station stops
                }
                const std::string text = event ? "data: " + *event + "\n\n" : ": keep-alive\n\n";
                return sink.write(text.data(), text.size());
            },
            [this, client](bool) { m_station.Unsubscribe(client); });
    });

    server.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
        auto it = m_web.find(request.path);
        if (it == m_web.end()) {
            Refuse(response, 404, "no such page");
            return;
        }
        response.set_header("Cache-Control", "no-cache");
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("Content-Security-Policy",
                            "default-src 'self'; connect-src 'self'; img-src 'self' data:; "
                            "style-src 'self'; script-src 'self'; frame-ancestors 'none'");
        response.set_content(it->second.content, it->second.type.c_str());
    });
}
