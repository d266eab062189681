// What a port's run tells the front end that shows it: the load reports of the programming
// sequence (status, total, progress), the system's messages, the engine's own notes, and the
// end of each attempt with everything a record of it needs.  velko-cli turns the events into
// text lines or JSON events; the station into history rows and an event stream.  Events come
// from every run's thread at once; a front end serializes them itself.
#pragma once

#include "port_runs/run_record.h"

#include <cstdint>
#include <string>

// The file's own events (before any port is touched) carry this instead of a port.
constexpr int kNoPort = -1;

class CRunEvents {
public:
    virtual ~CRunEvents() = default;

    // An attempt of the port's run begins (attempt 1 first, then each retry).
    virtual void Begin(int port, int attempt) = 0;
    // The load reports: a status text (the whole text, as the window shows it), the bytes
    // the programming will send, and the bytes sent so far (after each block).
    virtual void Status(int port, const char* text) = 0;
    virtual void Total(int port, int32_t total) = 0;
    virtual void Progress(int port, int32_t done) = 0;
    // A message box of the system's; the port is kNoPort for the file's own.
    virtual void Message(int port, const char* caption, const char* text) = 0;
    // The engine's own words on a port: why it won't open, a slow adapter, how a cancel left
    // the instrument.
    virtual void Note(int port, const std::string& text) = 0;
    // The attempt has ended.
    virtual void Result(int port, const RunRecord& record) = 0;
};
