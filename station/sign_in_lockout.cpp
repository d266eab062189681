// The lock-out's counts, in memory.
#include "station/sign_in_lockout.h"

#include <algorithm>

bool CSignInLockout::Locked(const std::string& name, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_names.find(name);
    return it != m_names.end() && now < it->second.lockedUntil;
}

void CSignInLockout::Failed(const std::string& name, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_names.size() >= kMaxNames && m_names.count(name) == 0) {
        for (auto it = m_names.begin(); it != m_names.end();) {
            const bool stale =
                now - it->second.firstFailure >= kWindow && now >= it->second.lockedUntil;
            it = stale ? m_names.erase(it) : std::next(it);
        }
        if (m_names.size() >= kMaxNames) {
            m_names.erase(
                std::min_element(m_names.begin(), m_names.end(), [](const auto& a, const auto& b) {
                    return a.second.firstFailure < b.second.firstFailure;
                }));
        }
    }
    Tries& tries = m_names[name];
    if (tries.failures == 0 || now - tries.firstFailure >= kWindow) {
        tries.failures = 0;
        tries.firstFailure = now;
    }
    if (++tries.failures >= kFailures) {
        tries.lockedUntil = now + kLockedFor;
        tries.failures = 0;
    }
}

void CSignInLockout::Succeeded(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_names.erase(name);
}
