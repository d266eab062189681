// Everything velko-cli tells the user while it works, from any number of port threads at
// once: status texts and progress on stdout, the system's messages on stderr, or instead one
// JSON event a line on stdout.  One lock keeps the lines of different ports whole, and each
// line says its port when the run has more than one.
//
// In a terminal that can redraw, progress is a live display at the bottom of the output:
// one bar for a single port, one line per port and a total for several, with the lasting
// lines (messages, and for a single port the status texts) written above it.  Elsewhere,
// or with --no-progress, progress is a line at each tenth.
#pragma once

#include "cli/progress_display.h"
#include "port_runs/json_events.h"
#include "port_runs/run_events.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

struct OutputOptions {
    bool json = false;          // JSON events on stdout, nothing else there
    bool liveProgress = false;  // stdout is a terminal that can redraw, and progress is wanted
    bool portNames = false;     // lines say their port (a run of several ports)
    bool attempts = false;      // runs may be tried again: JSON events say their attempt
    int columns = 80;           // the terminal's width, for the live display
};

// A message as one line: "error: <text>" for a failure, "<caption>: <text>" for any other;
// line breaks inside become blanks.
std::string MessageLine(const char* caption, const char* text);

class CRunOutput : public CRunEvents {
public:
    CRunOutput(OutputOptions options, std::FILE* out, std::FILE* err);
    ~CRunOutput() override;
    CRunOutput(const CRunOutput&) = delete;
    CRunOutput& operator=(const CRunOutput&) = delete;

    // Adds a port and the serial number of the unit on it (empty: none); its events name it
    // by the index returned.  Text lines name the serial beside the port: "PORT [SERIAL]".
    int AddPort(const std::string& name, const std::string& instrument = {});

    // A retry says so in text; its status texts start afresh.
    void Begin(int port, int attempt) override;
    // The load reports.  A status text prints the lines it adds behind the one before it
    // (the sequence's texts grow: found, erasing, loading), or all of it when it starts anew.
    void Status(int port, const char* text) override;
    void Total(int port, int32_t total) override;
    void Progress(int port, int32_t done) override;
    // A message box of the system's.
    void Message(int port, const char* caption, const char* text) override;
    // velko-cli's own words on a port (named even when it is the only one), on stderr; with
    // --json also a note event.
    void Note(int port, const std::string& text) override;
    // A port's end, and the end of the whole run: with several ports a table of every
    // port's result, seconds and bytes.
    void Result(int port, const RunRecord& record) override;
    void Summary(int ok, int failed, double seconds);

private:
    struct PortRecord {
        PortProgress progress;  // its name the port as the text lines name it
        EventPort event;        // the port as the JSON events name it
        std::string lastStatus;
        int lastTenth = 0;  // the last tenth a progress line was written for
        CPercentStep percent;
        int attempt = 1;
        double seconds = 0.0;
        std::string result;  // "done", or the failure
    };

    std::string Prefix(int port) const;
    EventPort PortJson(int port) const;                     // the port, a null name for none
    void Line(std::FILE* stream, const std::string& text);  // a lasting line
    void Event(int port, JsonEvent event);
    void ClearLive();
    void DrawLive();
    void RedrawLive(bool force);
    size_t NameWidth() const;

    OutputOptions m_options;
    std::FILE* m_out;
    std::FILE* m_err;
    std::mutex m_mutex;
    std::vector<PortRecord> m_ports;
    int m_liveLines = 0;  // rows of the live display now on the screen
    ProgressClock::time_point m_lastDraw{};
};
