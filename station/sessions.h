// The signed-in sessions of the station's page: a random id (256 bits from the system's random
// source, RAND_bytes) that the page's cookie carries, and the operator it signed in as.  A
// session ends when its operator signs out, 12 hours after it began, or after an hour without
// a request.  Times are given by the caller, so that the rules can be tried without waiting.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

class CSessions {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::hours kLifetime{12};
    static constexpr std::chrono::hours kIdle{1};
    static constexpr size_t kMaxSessions = 1000;  // the oldest goes when more begin

    // A new session of the operator; its id (64 hex digits), empty when the random source
    // failed.
    std::string Begin(const std::string& name, Clock::time_point now);
    // The operator of a live session, which counts as its latest request; none when the id
    // is no session's or the session has ended.
    std::optional<std::string> Find(const std::string& id, Clock::time_point now);
    // The operator of a live session, looked at only: it does not count as a request.
    std::optional<std::string> Peek(const std::string& id, Clock::time_point now);
    void End(const std::string& id);

private:
    struct Session {
        std::string name;
        Clock::time_point began, lastUsed;
    };
    static bool Live(const Session& session, Clock::time_point now);
    std::optional<std::string> Look(const std::string& id, Clock::time_point now,
                                    bool asRequest);

    std::mutex m_mutex;
    std::map<std::string, Session> m_sessions;
};
