// What a port's run tells the front end that shows it: the load reports of the programming
// sequence (status, total, progress), the system's messages, the engine's own notes, and the
// end of each attempt with everything a record of it needs.  velko-cli turns the events into
// text lines or JSON events; the station into history rows and an event stream.  Events come
// from every run's thread at once; a front end serializes them itself.
#pragma once

#include "link/device_programmer.h"

#include <cstdint>
#include <string>
#include <vector>

// The file's own events (before any port is touched) carry this instead of a port.
constexpr int kNoPort = -1;

enum class RunOutcome {
    Done,       // the whole image written and the closing commands sent
    Failed,     // a failure the sequence told the user of
    Cancelled,  // stopped before a block by a cancel or an interrupt
};

// How one attempt of a port's run ended.
struct RunRecord {
    RunOutcome outcome = RunOutcome::Failed;
    int attempt = 1;            // 1 for the first run of the port, 2 for its first retry...
    double seconds = 0.0;       // from the port's open to the run's end
    std::string error;          // why it failed or stopped; empty when done
    int32_t bytes = 0;          // bytes sent by the blocks
    int32_t total = 0;          // the bytes the programming was to send
    int32_t blockRate = 0;      // the line rate of the block phase
    BlockTiming blocks;
    std::vector<uint8_t> identify;  // the identify reply's bytes 3 to 10, as received
};

// The name the history and the event stream give an outcome.
const char* OutcomeName(RunOutcome outcome);

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
