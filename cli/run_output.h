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

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

// The file's own events (before any port is touched) carry this instead of a port.
constexpr int kNoPort = -1;

struct OutputOptions {
    bool json = false;          // JSON events on stdout, nothing else there
    bool liveProgress = false;  // stdout is a terminal that can redraw, and progress is wanted
    bool portNames = false;     // lines say their port (a run of several ports)
    int columns = 80;           // the terminal's width, for the live display
};

// True for a message that tells a failure: the captions "Error", "ERROR" and "Oops", and the
// C array generator's "Could not open file", whose caption is the file's path.
bool IsFailureMessage(const char* caption, const char* text);

// A message as one line: "error: <text>" for a failure, "<caption>: <text>" for any other;
// line breaks inside become blanks.
std::string MessageLine(const char* caption, const char* text);

class CRunOutput {
public:
    CRunOutput(OutputOptions options, std::FILE* out, std::FILE* err);
    ~CRunOutput();
    CRunOutput(const CRunOutput&) = delete;
    CRunOutput& operator=(const CRunOutput&) = delete;

    // Adds a port; its events name it by the index returned.
    int AddPort(const std::string& name);

    // The load reports.  A status text prints the lines it adds behind the one before it
    // (the sequence's texts grow: found, erasing, loading), or all of it when it starts anew.
    void Status(int port, const char* text);
    void Total(int port, int32_t total);
    void Progress(int port, int32_t done);
    // A message box of the system's.
    void Message(int port, const char* caption, const char* text);
    // velko-cli's own words on a port (named even when it is the only one), on stderr, never
    // in the JSON stream.
    void Note(int port, const std::string& text);
    // A port's end, and the end of the whole run: with several ports a table of every
    // port's result, seconds and bytes.
    void Result(int port, bool ok, double seconds, const std::string& failure);
    void Summary(int ok, int failed, double seconds);

private:
    struct PortRecord {
        PortProgress progress;
        std::string lastStatus;
        int lastTenth = 0;     // the last tenth a progress line was written for
        int lastPercent = -1;  // the last whole percent a JSON progress event carried
        double seconds = 0.0;
        std::string result;  // "done", or the failure
    };

    std::string Prefix(int port) const;
    nlohmann::ordered_json PortJson(int port) const;        // the port's name, null for none
    void Line(std::FILE* stream, const std::string& text);  // a lasting line
    void Event(const std::string& json);
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
