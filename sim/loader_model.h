// The boot loader as a state machine over the bytes that the host sends: it splits the byte
// stream into messages (loader frames, ETX runs, text commands, the kick-start), checks each,
// keeps the flash model and the report, and says what to send back.  No I/O and no clock:
// SimulatedInstrument feeds it and carries out what it asks.
#pragma once

#include "sim/sim_options.h"
#include "sim/sim_report.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// What the loader wants done after a byte.
struct ModelOutput {
    std::vector<uint8_t> reply;  // the answer, paced like the line when pacing is on
    std::vector<uint8_t> stale;  // stray bytes that go out at once behind the reply
    bool closeLine = false;      // hang up: close the pty altogether
    bool writeReport = false;    // a session completed, a kick-start came, or a fault struck
};

class LoaderModel {
public:
    explicit LoaderModel(const Options& options);

    // One byte from the host and the line rate that the pty had when it arrived.
    void Feed(uint8_t byte, uint32_t baud, ModelOutput& out);
    // True while a message is half received (or stray bytes are pending).
    bool HasPartial() const { return m_state != Parse::Idle; }
    // The line went quiet in the middle of a message: record it and start afresh.
    void AbandonPartial();
    void SetLineClosed() { m_lineClosed = true; }

    // The report; without the digest (the costly part) when withDigest is false.
    Report BuildReport(bool withDigest = true) const;
    const std::vector<uint8_t>& Flash() const { return m_flash; }

    static constexpr uint32_t kLoaderStartBaud = 19200;
    static constexpr uint32_t kSifBaud = 4800;
    static constexpr uint32_t kKickStartBaud = 19200;
    static constexpr size_t kMaxViolations = 1000;
    static constexpr size_t kMaxTextLength = 16;

private:
    enum class Parse { Idle, Etx, Text, Frame, KickStart, Stray };

    // Where one session stands (reset by a SIF command and by a kick-start).
    struct SessionState {
        bool identified = false;
        bool baudSeen = false;
        unsigned erasedMask = 0;  // bit i: sector i erased in this session
        int erases = 0;
        int blocks = 0;
        uint32_t fastBytes = 0;      // bytes received above the garbling rate
        bool garblePending = false;  // the next frame payload byte gets a flipped bit
    };

    // The options the current session answers by: the given ones while its faults strike,
    // else the same without faults.
    const Options& Faults() const;
    uint8_t Garble(uint8_t byte, uint32_t baud);
    void Begin(uint8_t byte, uint32_t baud);
    void Collect(uint8_t byte, uint32_t baud);
    void FinishEtxRun(ModelOutput& out);
    void FinishText(ModelOutput& out);
    void FinishKickStart(ModelOutput& out);
    void FinishFrame(ModelOutput& out);
    void FlushStray();

    void OnIdentify(ModelOutput& out);
    void OnErase(ModelOutput& out);
    void OnBaud(ModelOutput& out);
    void OnBlock(ModelOutput& out);

    SessionReport& Current();
    void NewSession();
    void AddPhase(const char* phase);
    void CheckRate(const std::string& what, uint32_t expected);
    void Violation(std::string text);
    void Fault(std::string text, ModelOutput& out);
    void AddStale(ModelOutput& out, size_t fill) const;

    Options m_options;
    Options m_healthy;  // m_options without its faults
    std::vector<uint8_t> m_flash;
    std::vector<SessionReport> m_sessions;
    int m_current = -1;  // index into m_sessions, -1: none open
    SessionState m_session;
    uint32_t m_kickStarts = 0;
    int m_programmingSessions = 0;  // SIF commands seen
    bool m_lineClosed = false;
    std::vector<std::string> m_violations;
    size_t m_droppedViolations = 0;
    uint32_t m_loaderBaud = kLoaderStartBaud;

    Parse m_state = Parse::Idle;
    std::vector<uint8_t> m_message;  // the bytes of the message being received
    std::vector<uint32_t> m_bauds;   // the distinct line rates its bytes came at
    bool m_sifPrefix = false;        // the text command followed a 0x03
    bool m_garbled = false;          // a byte of this message was garbled
    size_t m_strayCount = 0;
};

}  // namespace sim
