// MessageCapture: takes the runtime's message handler for its lifetime and keeps every box in
// order, with its owner; the handler before it comes back when it goes.
#include "tests/support/message_capture.h"

MessageCapture::MessageCapture() {
    m_previous =
        SetMessageHandler([this](WindowHandle owner, const char* text, const char* caption) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_messages.push_back({owner, text, caption});
        });
}

MessageCapture::~MessageCapture() {
    SetMessageHandler(m_previous);
}

std::vector<CapturedMessage> MessageCapture::Messages() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

std::vector<std::string> MessageCapture::Texts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> texts;
    for (const auto& m : m_messages) {
        texts.push_back(m.text);
    }
    return texts;
}

void MessageCapture::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.clear();
}
