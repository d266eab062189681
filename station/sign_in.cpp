// The sign-in.  An unknown name costs the same PBKDF2 as a known one (a hash made at start
// stands in for it) and gets the same answer as a wrong password, so that neither the answer
// nor its time tells which names exist.
#include "station/sign_in.h"

#include "station/password_hash.h"
#include "station/station_log.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

constexpr char kCookieName[] = "velko_session";
constexpr int kMaxHashing = 2;
constexpr size_t kMaxNameBytes = 256;

void Answer(httplib::Response& response, int status, const Json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

// The session id of the request's cookie; empty for none.
std::string SessionCookie(const httplib::Request& request) {
    const std::string cookies = request.get_header_value("Cookie");
    const std::string key = std::string(kCookieName) + "=";
    size_t start = 0;
    while (start < cookies.size()) {
        size_t end = cookies.find(';', start);
        if (end == std::string::npos) {
            end = cookies.size();
        }
        std::string pair = cookies.substr(start, end - start);
        pair.erase(0, pair.find_first_not_of(' '));
        if (pair.rfind(key, 0) == 0) {
            return pair.substr(key.size());
        }
        start = end + 1;
    }
    return {};
}

Json IdentityJson(const std::optional<CSignIn::Identity>& who) {
    if (!who) {
        return nullptr;
    }
    return Json{{"name", who->name}, {"role", RoleName(who->role)}};
}

}  // namespace

CSignIn::CSignIn(COperators* operators, std::function<bool(const httplib::Request&)> tokenGiven,
                 bool tls)
    : m_operators(operators),
      m_tokenGiven(std::move(tokenGiven)),
      m_tls(tls),
      m_dummyHash(operators != nullptr ? HashPassword("no operator has this name") : "") {}

std::optional<CSignIn::Identity> CSignIn::Who(const httplib::Request& request) {
    return Identify(request, true);
}

bool CSignIn::StillAdmitted(const httplib::Request& request) {
    return m_operators == nullptr || Identify(request, false).has_value();
}

std::optional<CSignIn::Identity> CSignIn::Identify(const httplib::Request& request,
                                                   bool asRequest) {
    if (m_operators == nullptr) {
        return std::nullopt;
    }
    if (m_tokenGiven && m_tokenGiven(request)) {
        return Identity{kTokenOperator, OperatorRole::Supervisor};
    }
    const std::string id = SessionCookie(request);
    if (id.empty()) {
        return std::nullopt;
    }
    const auto now = CSessions::Clock::now();
    const std::optional<std::string> name = asRequest ? m_sessions.Find(id, now)
                                                      : m_sessions.Peek(id, now);
    if (!name) {
        return std::nullopt;
    }
    // The list as it is now: an operator taken off it is signed out, a new role holds at once.
    const std::optional<Operator> entry = m_operators->Find(*name);
    if (!entry) {
        m_sessions.End(id);
        return std::nullopt;
    }
    return Identity{entry->name, entry->role};
}

std::string CSignIn::OperatorOf(const httplib::Request& request) {
    const std::optional<Identity> who = Who(request);
    return who ? who->name : std::string();
}

bool CSignIn::Admit(const httplib::Request& request, httplib::Response& response) {
    if (m_operators == nullptr || request.path == "/api/session" ||
        request.path == "/api/session/end") {
        return true;
    }
    const std::optional<Identity> who = Who(request);
    if (!who) {
        Answer(response, 401, Json{{"error", "sign in first"}});
        return false;
    }
    if (request.method == "POST" && request.path == "/api/auto" &&
        who->role != OperatorRole::Supervisor) {
        Answer(response, 403, Json{{"error", "only a supervisor sets the automatic file"}});
        return false;
    }
    return true;
}

void CSignIn::AcquireHasher() {
    std::unique_lock<std::mutex> lock(m_hashMutex);
    m_hashFree.wait(lock, [this] { return m_hashing < kMaxHashing; });
    ++m_hashing;
}

void CSignIn::ReleaseHasher() {
    {
        std::lock_guard<std::mutex> lock(m_hashMutex);
        --m_hashing;
    }
    m_hashFree.notify_one();
}

void CSignIn::SignIn(const httplib::Request& request, httplib::Response& response) {
    if (m_operators == nullptr) {
        Answer(response, 400, Json{{"error", "nobody signs in at this station"}});
        return;
    }
    const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
    if (!body.is_object() || !body.contains("name") || !body["name"].is_string() ||
        !body.contains("password") || !body["password"].is_string()) {
        Answer(response, 400, Json{{"error", "send {\"name\":NAME,\"password\":PASSWORD}"}});
        return;
    }
    std::string name = body["name"].get<std::string>();
    const std::string password = body["password"].get<std::string>();
    if (name.size() > kMaxNameBytes) {
        name.resize(kMaxNameBytes);  // no operator's name is that long: counted as tried
    }
    const auto now = CSignInLockout::Clock::now();
    if (m_lockout.Locked(name, now)) {
        response.set_header(
            "Retry-After",
            std::to_string(std::chrono::seconds(CSignInLockout::kLockedFor).count()));
        Answer(response, 429,
               Json{{"error", "too many failed sign-ins for this name: try again in 5 minutes"}});
        return;
    }
    const std::optional<Operator> entry = m_operators->Find(name);
    AcquireHasher();
    const bool matches = VerifyPassword(password, entry ? entry->hash : m_dummyHash);
    ReleaseHasher();
    if (!entry || !matches) {
        m_lockout.Failed(name, CSignInLockout::Clock::now());
        StationLog("a sign-in failed");
        Answer(response, 401, Json{{"error", "unknown name or wrong password"}});
        return;
    }
    m_lockout.Succeeded(name);
    const std::string id = m_sessions.Begin(entry->name, CSessions::Clock::now());
    if (id.empty()) {
        Answer(response, 500, Json{{"error", "the system's random source failed"}});
        return;
    }
    const auto maxAge = std::chrono::seconds(CSessions::kLifetime).count();
    response.set_header("Set-Cookie", std::string(kCookieName) + "=" + id +
                                          "; HttpOnly; SameSite=Strict; Path=/; Max-Age=" +
                                          std::to_string(maxAge) + (m_tls ? "; Secure" : ""));
    StationLog(entry->name + " signed in");
    Answer(response, 200, Json{{"operator", IdentityJson(Identity{entry->name, entry->role})}});
}

void CSignIn::AddRoutes(httplib::Server& server) {
    server.Get("/api/session",
               [this](const httplib::Request& request, httplib::Response& response) {
                   Answer(response, 200,
                          Json{{"sign_in", Required()}, {"operator", IdentityJson(Who(request))}});
               });
    server.Post("/api/session", [this](const httplib::Request& request,
                                       httplib::Response& response) { SignIn(request, response); });
    server.Post("/api/session/end", [this](const httplib::Request& request,
                                           httplib::Response& response) {
        const std::string id = SessionCookie(request);
        if (!id.empty()) {
            m_sessions.End(id);
        }
        response.set_header("Set-Cookie", std::string(kCookieName) +
                                              "=; HttpOnly; SameSite=Strict; Path=/; Max-Age=0" +
                                              (m_tls ? "; Secure" : ""));
        Answer(response, 200, Json{{"operator", nullptr}});
    });
}
