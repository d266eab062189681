// Captures the message boxes the code under test shows, instead of showing them.
#pragma once

#include "framework/runtime.h"

#include <mutex>
#include <string>
#include <vector>

struct CapturedMessage {
    WindowHandle owner;
    std::string text;
    std::string caption;

    bool operator==(const CapturedMessage&) const = default;
};

// While it lives, every ShowMessage is recorded here and returns at once.
class MessageCapture {
public:
    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture&) = delete;
    MessageCapture& operator=(const MessageCapture&) = delete;

    std::vector<CapturedMessage> Messages() const;
    // The texts only, in order, for the common assertion.
    std::vector<std::string> Texts() const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::vector<CapturedMessage> m_messages;
    MessageHandler m_previous;
};
