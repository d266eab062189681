// The system's message boxes in a front end without windows: each message goes to the output
// under the port it belongs to, and failures are counted per port, so that a command can tell
// its exit status from what the core told the user.
//
// A message belongs to the port whose handle owns it; a message without an owner (the erase
// failures, the S-record export's figures) belongs to the port whose sequence runs on the
// thread that shows it.  Anything else belongs to no port (the application file's messages).
#pragma once

#include "cli/run_output.h"
#include "framework/runtime.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

class CMessageRouter {
public:
    // Takes over the runtime's messages until destroyed.
    explicit CMessageRouter(CRunOutput& output);
    ~CMessageRouter();
    CMessageRouter(const CMessageRouter&) = delete;
    CMessageRouter& operator=(const CMessageRouter&) = delete;

    // Messages owned by `owner` belong to `port`.
    void BindOwner(WindowHandle owner, int port);
    // Messages without an owner shown on the calling thread belong to `port`.
    static void BindThread(int port);

    // Failure messages told for a port (kNoPort: for none).
    int Failures(int port) const;
    // The last failure told for a port, with the ones before it in parentheses:
    // "Can't Erase Program Memory (Sector Erase Rec fail!)".  Empty when there was none.
    std::string FailureText(int port) const;

private:
    void OnMessage(WindowHandle owner, const char* text, const char* caption);

    CRunOutput& m_output;
    MessageHandler m_previous;
    mutable std::mutex m_mutex;
    std::map<WindowHandle, int> m_owners;
    std::map<int, std::vector<std::string>> m_failures;
};
