// The message router: the runtime's message handler of the front ends without windows.
#include "port_runs/message_router.h"

#include <cstring>

namespace {

thread_local int t_threadPort = kNoPort;

bool IsFailureCaption(const char* caption) {
    return caption != nullptr && (std::strcmp(caption, "Error") == 0 ||
                                  std::strcmp(caption, "ERROR") == 0 ||
                                  std::strcmp(caption, "Oops") == 0);
}

}  // namespace

bool IsFailureMessage(const char* caption, const char* text) {
    return IsFailureCaption(caption) ||
           (text != nullptr && std::strcmp(text, "Could not open file") == 0);
}

CMessageRouter::CMessageRouter(CRunEvents& events) : m_events(events) {
    m_previous =
        SetMessageHandler([this](WindowHandle owner, const char* text, const char* caption) {
            OnMessage(owner, text, caption);
        });
}

CMessageRouter::~CMessageRouter() {
    SetMessageHandler(m_previous);
}

void CMessageRouter::BindOwner(WindowHandle owner, int port) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_owners[owner] = port;
}

void CMessageRouter::Unbind(WindowHandle owner) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_owners.erase(owner);
}

void CMessageRouter::BindThread(int port) {
    t_threadPort = port;
}

void CMessageRouter::OnMessage(WindowHandle owner, const char* text, const char* caption) {
    int port = t_threadPort;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_owners.find(owner);
        if (owner != nullptr && it != m_owners.end()) {
            port = it->second;
        }
        if (IsFailureMessage(caption, text)) {
            m_failures[port].push_back(text != nullptr ? text : "");
        }
    }
    m_events.Message(port, caption, text);
}

int CMessageRouter::Failures(int port) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_failures.find(port);
    return it == m_failures.end() ? 0 : static_cast<int>(it->second.size());
}

void CMessageRouter::ClearFailures(int port) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failures.erase(port);
}

std::string CMessageRouter::FailureText(int port) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_failures.find(port);
    if (it == m_failures.end() || it->second.empty()) {
        return {};
    }
    const std::vector<std::string>& all = it->second;
    std::string text = all.back();
    if (all.size() > 1) {
        text += " (";
        for (size_t i = 0; i + 1 < all.size(); ++i) {
            text += (i > 0 ? "; " : "") + all[i];
        }
        text += ")";
    }
    return text;
}
