// Failed sign-ins counted by the name tried, known or not (so that a lock-out tells nothing of
// which names exist): the fifth failure within 5 minutes locks the name for 5 minutes.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

class CSignInLockout {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFailures = 5;
    static constexpr std::chrono::minutes kWindow{5};
    static constexpr std::chrono::minutes kLockedFor{5};
    static constexpr size_t kMaxNames = 10000;  // names tried at once; the stalest goes

    // True while the name is locked out.
    bool Locked(const std::string& name, Clock::time_point now);
    void Failed(const std::string& name, Clock::time_point now);
    void Succeeded(const std::string& name);

private:
    struct Tries {
        int failures = 0;
        Clock::time_point firstFailure, lockedUntil;
    };

    std::mutex m_mutex;
    std::map<std::string, Tries> m_names;
};
