// Application files and an event log for the load job's tests: S2 records written inline,
// and one ordered record of the status reports and message boxes a job produced.
#pragma once

#include "devtools/sign_library.h"
#include "framework/runtime.h"
#include "image/app_image.h"
#include "tests/support/srec_records.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace load_job_test {

// One S2 record line with its checksum, CR LF at the end.
inline std::string S2(uint32_t address, const std::vector<uint8_t>& data) {
    return MakeRecord('2', address, data) + "\r\n";
}

// Application bytes 0x420100..0x42013F: the image ends at 0x42013F, five 64-byte blocks.
inline std::string ApplicationRecords() {
    std::string text;
    for (uint32_t a = 0x420100; a < 0x420140; a += 16) {
        std::vector<uint8_t> data(16);
        for (int k = 0; k < 16; ++k) {
            data[k] = static_cast<uint8_t>(a + k);
        }
        text += S2(a, data);
    }
    return text;
}

// A file that brings its own signature in the signature block.
inline std::string SignedFile() {
    return S2(0x420010, std::vector<uint8_t>(16, 0x5A)) + ApplicationRecords();
}

inline std::string UnsignedFile() {
    return ApplicationRecords();
}

// Signing entries of the tests' own: one that writes a signature, one that writes nothing.
inline int SignWithPattern(uint8_t* image, uint32_t, uint32_t) {
    for (uint32_t i = 0; i < kSignatureBlockSize; ++i) {
        image[kSignatureBlockOffset + i] = static_cast<uint8_t>(0xA0 + i);
    }
    return 1;
}
inline int SignNothing(uint8_t*, uint32_t, uint32_t) {
    return 0;
}

// Records status reports ("status: <text>") and message boxes ("box <caption>: <text>") in
// the order they happen, with the owner of every box.
class EventLog {
public:
    explicit EventLog(WindowHandle window) : m_window(window) {
        SetReportHandler(window, [this](unsigned message, uintptr_t kind, intptr_t value) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (kind == 0) {
                m_events.push_back("status: " + std::string(reinterpret_cast<const char*>(value)));
            } else {
                m_kinds.push_back(static_cast<int>(kind));
            }
            m_messageIds.push_back(message);
        });
        m_previous =
            SetMessageHandler([this](WindowHandle owner, const char* text, const char* caption) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_events.push_back("box " + std::string(caption) + ": " + text);
                m_owners.push_back(owner);
            });
    }
    ~EventLog() {
        SetReportHandler(m_window, nullptr);
        SetMessageHandler(m_previous);
    }
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    WindowHandle Window() const { return m_window; }
    std::vector<std::string> Events() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    std::vector<WindowHandle> Owners() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_owners;
    }
    // Kinds of the reports other than status, in order (1 total, 2 progress, ...).
    std::vector<int> OtherKinds() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_kinds;
    }
    std::vector<unsigned> MessageIds() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messageIds;
    }

private:
    WindowHandle m_window;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_events;
    std::vector<WindowHandle> m_owners;
    std::vector<int> m_kinds;
    std::vector<unsigned> m_messageIds;
    MessageHandler m_previous;
};

}  // namespace load_job_test

#ifdef ORVANE_STAND_IN_SIGN_LIBRARY
namespace load_job_test {

// The stand-in signing library's path as the build gives it; under wine "Z:/..." becomes a
// path with backslashes, as LoadLibraryA wants.
inline std::string StandInLibraryPath() {
    std::string path = ORVANE_STAND_IN_SIGN_LIBRARY;
    if (path.rfind("Z:", 0) == 0) {
        for (char& c : path) {
            c = c == '/' ? '\\' : c;
        }
    }
    return path;
}

}  // namespace load_job_test
#endif
