// The HTTP routes.  Every request first passes the bench's rules (pre-routing): host, token,
// and for a POST its type; cpp-httplib refuses an over-long body itself (413).  The door hands
// each whole request to cpp-httplib's processing through CRoutedServer.  The event stream
// gives each page its own queue from the station's hub and writes from it on a thread of the
// door's stream pool, with a comment line every 15 s so that an idle stream is not cut.
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

constexpr int kKeepAliveMs = 15000;   // an idle event stream's comment line
constexpr int kStreamRetryMs = 2000;  // how soon a page's stream reconnects

// "GET /api/events" (with or without a query) lasts; a POST changes the bench and may start
// runs; everything else is answered at once.
CHttpDoor::Kind RequestKind(std::string_view head) {
    constexpr std::string_view kEvents = "GET /api/events";
    if (head.substr(0, kEvents.size()) == kEvents && head.size() > kEvents.size() &&
        (head[kEvents.size()] == ' ' || head[kEvents.size()] == '?')) {
        return CHttpDoor::Kind::Stream;
    }
    return head.substr(0, 5) == "POST " ? CHttpDoor::Kind::Control : CHttpDoor::Kind::Query;
}

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

// cpp-httplib's routing and answers, on a connection the door hands over.  Its own listener
// and threads stay unused; `svr_sock_` is what its streamed answers look at to tell that the
// server stops, so it holds the door's listener while the door serves.
class CRoutedServer : public httplib::Server {
public:
    // Answers one request; false when the connection can't go on, `closed` when the client
    // asked to close it.
    bool Answer(httplib::Stream& stream, bool last, bool& closed) {
        return process_request(stream, last, closed, nullptr);
    }
    void SetListener(socket_t listener) { svr_sock_ = listener; }
};

CHttpApi::CHttpApi(CStation& station, HttpSettings settings, const CTlsContext* tls)
    : m_station(station),
      m_settings(std::move(settings)),
      m_tls(tls),
      m_server(new CRoutedServer),
      m_signIn(
          m_settings.operators,
          [this](const httplib::Request& request) { return TokenGiven(request); },
          tls != nullptr) {}

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
    m_door.reset();  // its workers answer through the routes and the page's files
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

    m_server->set_payload_max_length(m_settings.door.bodyBytes);
    // What the Keep-Alive header tells a client; the door holds to these.
    m_server->set_keep_alive_timeout(m_settings.door.keepAliveMs / 1000);
    m_server->set_keep_alive_max_count(m_settings.door.requestsPerConnection);
    Routes();
    m_door = std::make_unique<CHttpDoor>(
        m_settings.door, m_tls != nullptr ? m_tls->Get() : nullptr,
        [this](CDoorStream& stream, bool last) {
            bool closed = false;
            return m_server->Answer(stream, last, closed) && !closed;
        },
        RequestKind);
    if (!m_door->Listen(m_settings.host, m_settings.port, error)) {
        return false;
    }
    m_port = m_door->Port();
    m_server->SetListener(m_door->ListenerFd());
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
    m_door->Run();
}

void CHttpApi::Stop() {
    m_server->SetListener(INVALID_SOCKET);  // streamed answers end at their next piece
    if (m_door) {
        m_door->Stop();
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
        // How it is served, so that the page can say when the token travels unencrypted.
        CStation::Answer answer = m_station.Info();
        answer.body["tls"] = ServesTls();
        answer.body["loopback"] = IsLoopback(m_settings.host);
        Reply(response, answer);
    });
    server.Get("/api/stats", [this](const httplib::Request&, httplib::Response& response) {
        Reply(response, m_station.Stats());
    });
    AddHistoryRoutes(server, m_station);

    if (m_site != nullptr) {
        AddSiteRoutes(server, *m_site);
    }

    server.Get("/api/events", [this](const httplib::Request& request,
                                     httplib::Response& response) {
        std::shared_ptr<CEventHub::Client> client = m_station.Subscribe();
        if (client == nullptr) {
            Refuse(response, 503, "too many event streams are open");
            return;
        }
        response.set_header("Cache-Control", "no-store");
        // Who opened the stream, to be asked again before each event: a stream ends with its
        // session (signed out, expired, or its operator taken off the list).
        auto signer = std::make_shared<httplib::Request>();
        signer->path = request.path;
        signer->headers = request.headers;
        signer->params = request.params;
        response.set_chunked_content_provider(
            "text/event-stream",
            [this, client, signer, first = true](size_t, httplib::DataSink& sink) mutable {
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
                if (!m_signIn.StillAdmitted(*signer)) {
                    return false;
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
