// The system's message boxes in a front end without windows: each message goes to the front
// end's events under the port it belongs to, and failures are kept per port, so that a run
// can say why it failed and a command can tell its exit status from what the core told.
//
// A message belongs to the port whose handle owns it; a message without an owner (the erase
// failures, the S-record export's figures) belongs to the port whose sequence runs on the
// thread that shows it.  Anything else belongs to no port (the application file's messages).
#pragma once

#include "framework/runtime.h"
#include "port_runs/run_events.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

// True for a message that tells a failure: the captions "Error", "ERROR" and "Oops", and the
// C array generator's "Could not open file", whose caption is the file's path.
bool IsFailureMessage(const char* caption, const char* text);

class CMessageRouter {
public:
    // Takes over the runtime's messages until destroyed.
    explicit CMessageRouter(CRunEvents& events);
    ~CMessageRouter();
    CMessageRouter(const CMessageRouter&) = delete;
    CMessageRouter& operator=(const CMessageRouter&) = delete;

    // Messages owned by `owner` belong to `port`; Unbind ends that.
    void BindOwner(WindowHandle owner, int port);
    void Unbind(WindowHandle owner);
    // Messages without an owner shown on the calling thread belong to `port`.
    static void BindThread(int port);

    // Failure messages told for a port (kNoPort: for none) since its last ClearFailures.
    int Failures(int port) const;
    void ClearFailures(int port);
    // The last failure told for a port, with the ones before it in parentheses:
    // "Can't Erase Program Memory (Sector Erase Rec fail!)".  Empty when there was none.
    std::string FailureText(int port) const;

private:
    void OnMessage(WindowHandle owner, const char* text, const char* caption);

    CRunEvents& m_events;
    MessageHandler m_previous;
    mutable std::mutex m_mutex;
    std::map<WindowHandle, int> m_owners;
    std::map<int, std::vector<std::string>> m_failures;
};
