// The station's sign-in (with --operators): who a request is, and the session routes.
//
//   GET  /api/session       {"sign_in":B,"operator":{"name","role"} or null}, open to all
//   POST /api/session       {"name":N,"password":P}: 200 and the session's cookie; 401 for an
//                           unknown name or a wrong password alike; 429 while the name is
//                           locked out
//   POST /api/session/end   signs out
//
// Every other /api/ request needs a live session or the bearer token of --token-file (which
// signs as the supervisor "token"); setting the automatic file needs a supervisor.
#pragma once

#include "station/operators.h"
#include "station/sessions.h"
#include "station/sign_in_lockout.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

class CSignIn {
public:
    struct Identity {
        std::string name;
        OperatorRole role = OperatorRole::Operator;
    };

    // `operators` null: nobody signs in and every request is let through as before.
    // `tokenGiven` tells whether a request carries the bearer token; `tls`: cookies get Secure.
    CSignIn(COperators* operators, std::function<bool(const httplib::Request&)> tokenGiven,
            bool tls);

    bool Required() const { return m_operators != nullptr; }
    // Who sent the request: a session's operator, or the token's; none without either.
    std::optional<Identity> Who(const httplib::Request& request);
    // True while the sender of a request that was let through may still ask: nobody signs
    // in, it carries the token, or its session lives and its operator is still on the list.
    // Looking does not count as a request.  A page's event stream ends when it turns false.
    bool StillAdmitted(const httplib::Request& request);
    // The operator a run records: the request's signer, empty when nobody signs in.
    std::string OperatorOf(const httplib::Request& request);
    // The door's rule for an /api/ request: true to let it through; false with the refusal
    // (401, 403) written into the response.
    bool Admit(const httplib::Request& request, httplib::Response& response);

    void AddRoutes(httplib::Server& server);

private:
    void SignIn(const httplib::Request& request, httplib::Response& response);
    // Who, with the session's look counting as a request or not.
    std::optional<Identity> Identify(const httplib::Request& request, bool asRequest);
    // PBKDF2 runs at most this many at once: a burst of sign-ins can't take every core.
    void AcquireHasher();
    void ReleaseHasher();

    COperators* m_operators;
    std::function<bool(const httplib::Request&)> m_tokenGiven;
    const bool m_tls;
    CSessions m_sessions;
    CSignInLockout m_lockout;
    const std::string m_dummyHash;  // hashed against for an unknown name: the same time
    std::mutex m_hashMutex;
    std::condition_variable m_hashFree;
    int m_hashing = 0;
};
