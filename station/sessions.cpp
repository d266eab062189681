// The sessions, in memory: a station that restarts asks everyone to sign in again.
#include "station/sessions.h"

#include <openssl/rand.h>

#include <algorithm>

namespace {

constexpr size_t kIdBytes = 32;

}  // namespace

bool CSessions::Live(const Session& session, Clock::time_point now) {
    return now - session.began < kLifetime && now - session.lastUsed < kIdle;
}

std::string CSessions::Begin(const std::string& name, Clock::time_point now) {
    unsigned char bytes[kIdBytes];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        return {};
    }
    static const char kHex[] = "0123456789abcdef";
    std::string id;
    for (const unsigned char byte : bytes) {
        id += kHex[byte >> 4];
        id += kHex[byte & 0xF];
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        it = Live(it->second, now) ? std::next(it) : m_sessions.erase(it);
    }
    if (m_sessions.size() >= kMaxSessions) {
        m_sessions.erase(std::min_element(
            m_sessions.begin(), m_sessions.end(),
            [](const auto& a, const auto& b) { return a.second.lastUsed < b.second.lastUsed; }));
    }
    m_sessions[id] = Session{name, now, now};
    return id;
}

std::optional<std::string> CSessions::Find(const std::string& id, Clock::time_point now) {
    return Look(id, now, true);
}

std::optional<std::string> CSessions::Peek(const std::string& id, Clock::time_point now) {
    return Look(id, now, false);
}

std::optional<std::string> CSessions::Look(const std::string& id, Clock::time_point now,
                                           bool asRequest) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_sessions.find(id);
    if (it == m_sessions.end()) {
        return std::nullopt;
    }
    if (!Live(it->second, now)) {
        m_sessions.erase(it);
        return std::nullopt;
    }
    if (asRequest) {
        it->second.lastUsed = now;
    }
    return it->second.name;
}

void CSessions::End(const std::string& id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.erase(id);
}
