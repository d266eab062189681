// The boot loader's state machine: message splitting, checks, flash model, replies, faults.
// A message is judged when its last byte arrives; a violation is recorded and the loader goes
// on, answering as a tolerant loader would, so that one slip does not hide the next.
#include "sim/loader_model.h"

#include "sim/sim_report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace sim {
namespace {

constexpr uint8_t kFrameStart = 0x2A;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kKickStart0 = 0x23;  // '#'
constexpr uint8_t kKickStart1 = 0x4C;  // 'L'
constexpr int kEtxRunLength = 7;
constexpr size_t kBlockOverhead = 11;  // frame bytes of a write-block request besides the data
constexpr uint32_t kBlockAlign = 64;

// The eight bytes of the identify reply's payload: what the loader tells about itself.
constexpr uint8_t kIdentity[8] = {0x56, 0x59, 0x52, 0x41, 0x00, 0x01, 0x00, 0x05};

// Stray bytes: taken for a reply they make a frame 2A 04 46 00 whose checksum is wrong, so a
// host that forgot its purge fails visibly.  The drain fill before them is plain filler.
constexpr uint8_t kStaleTail[8] = {0x2A, 0x04, 0x46, 0x00, 0x5A, 0x5A, 0x5A, 0x5A};
constexpr uint8_t kStaleFiller = 0x55;
constexpr size_t kSifDrainBytes = 300;
constexpr size_t kEtxDrainBytes = 500;

struct BaudCode {
    uint8_t code;
    uint32_t baud;
};
constexpr BaudCode kBaudCodes[] = {{4, 1200},  {5, 2400},  {6, 4800},   {7, 9600},
                                   {8, 19200}, {9, 38400}, {10, 57600}, {11, 115200}};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

uint8_t SumOf(const uint8_t* bytes, size_t count) {
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum += bytes[i];
    }
    return static_cast<uint8_t>(sum);
}

uint32_t BigEndian32(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           bytes[3];
}

// A reply frame: start, length, letter, payload, right checksum.
std::vector<uint8_t> ReplyFrame(uint8_t letter, const uint8_t* payload, size_t payloadSize) {
    std::vector<uint8_t> frame;
    frame.reserve(payloadSize + 4);
    frame.push_back(kFrameStart);
    frame.push_back(static_cast<uint8_t>(payloadSize + 4));
    frame.push_back(letter);
    frame.insert(frame.end(), payload, payload + payloadSize);
    frame.push_back(SumOf(frame.data(), frame.size()));
    return frame;
}

std::vector<uint8_t> IdentifyReply(int length) {
    length = std::clamp(length, 0, 255);
    if (length >= 4) {
        std::vector<uint8_t> payload(static_cast<size_t>(length - 4));
        for (size_t i = 0; i < payload.size(); ++i) {
            payload[i] = kIdentity[i % sizeof kIdentity];
        }
        return ReplyFrame('I', payload.data(), payload.size());
    }
    // Too short to hold a checksum: the leading bytes only, with the length byte told.
    std::vector<uint8_t> bytes = {kFrameStart, static_cast<uint8_t>(length), 'I'};
    bytes.resize(static_cast<size_t>(length));
    return bytes;
}

void SpoilChecksum(std::vector<uint8_t>& reply) {
    if (!reply.empty()) {
        reply.back() = static_cast<uint8_t>(reply.back() + 1);
    }
}

std::string Printable(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t b : bytes) {
        if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
            text += static_cast<char>(b);
        } else {
            text += Format("\\x%02X", b);
        }
    }
    return text;
}

}  // namespace

LoaderModel::LoaderModel(const Options& options)
    : m_options(options), m_healthy(options), m_flash(kFlashSize) {
    const Options none;
    m_healthy.identify = none.identify;
    m_healthy.identifyLength = none.identifyLength;
    m_healthy.eraseFaultAt = none.eraseFaultAt;
    m_healthy.blockFaultAt = none.blockFaultAt;
    m_healthy.closeAtBlock = none.closeAtBlock;
    m_healthy.garbleAboveBaud = none.garbleAboveBaud;
    for (uint32_t i = 0; i < kFlashSize; ++i) {
        m_flash[i] = OldFlashByte(i);
    }
}

const Options& LoaderModel::Faults() const {
    const bool strike =
        m_options.faultySessions == 0 || m_programmingSessions <= m_options.faultySessions;
    return strike ? m_options : m_healthy;
}

// Every kGarbleInterval-th byte above the garbling rate spoils the next byte that lies in a
// frame's payload or checksum (this one when it does), so that framing stays intact.
uint8_t LoaderModel::Garble(uint8_t byte, uint32_t baud) {
    const uint32_t above = Faults().garbleAboveBaud;
    if (above == 0 || baud <= above) {
        return byte;
    }
    if (++m_session.fastBytes % kGarbleInterval == 0) {
        m_session.garblePending = true;
    }
    if (m_session.garblePending && m_state == Parse::Frame && m_message.size() >= 3) {
        m_session.garblePending = false;
        m_garbled = true;
        return static_cast<uint8_t>(byte ^ 0x10);
    }
    return byte;
}

void LoaderModel::Feed(uint8_t byte, uint32_t baud, ModelOutput& out) {
    byte = Garble(byte, baud);
    switch (m_state) {
        case Parse::Idle:
            Begin(byte, baud);
            break;
        case Parse::Stray:
            if (byte == kFrameStart || byte == kEtx || byte == 'S' || byte == 'T' ||
                byte == kKickStart0) {
                FlushStray();
                Begin(byte, baud);
            } else {
                ++m_strayCount;
            }
            break;
        case Parse::Etx:
            if (byte == kEtx) {
                Collect(byte, baud);
            } else if (byte == 'S' && m_message.size() == 1) {
                // 0x03 then "SIF 0 1\r": the SIF command.
                m_state = Parse::Text;
                m_sifPrefix = true;
                Collect(byte, baud);
                return;
            } else {
                Violation(Format("ETX run of %zu bytes 0x03, expected %d", m_message.size(),
                                 kEtxRunLength));
                m_state = Parse::Idle;
                Begin(byte, baud);
            }
            break;
        case Parse::Text:
            Collect(byte, baud);
            if (byte == '\r') {
                FinishText(out);
            } else if (m_message.size() >= kMaxTextLength) {
                Violation("text command without its closing CR: \"" + Printable(m_message) + "\"");
                m_state = Parse::Idle;
            }
            return;
        case Parse::KickStart:
            if (byte == kKickStart1) {
                Collect(byte, baud);
                FinishKickStart(out);
                return;
            }
            Violation(Format("byte 0x23 followed by 0x%02X, not by the kick-start's 0x4C", byte));
            m_state = Parse::Idle;
            Begin(byte, baud);
            break;
        case Parse::Frame:
            Collect(byte, baud);
            if (m_message.size() == 2 && m_message[1] < 4) {
                Violation(Format("frame with length byte %u (at least 4)", m_message[1]));
                m_state = Parse::Idle;
            } else if (m_message.size() >= 2 && m_message.size() == m_message[1]) {
                FinishFrame(out);
            }
            return;
    }
    if (m_state == Parse::Etx && m_message.size() == kEtxRunLength) {
        FinishEtxRun(out);
    }
}

void LoaderModel::Begin(uint8_t byte, uint32_t baud) {
    m_message.clear();
    m_bauds.clear();
    m_sifPrefix = false;
    m_garbled = false;
    switch (byte) {
        case kFrameStart:
            m_state = Parse::Frame;
            break;
        case kEtx:
            m_state = Parse::Etx;
            break;
        case 'S':
        case 'T':
            m_state = Parse::Text;
            break;
        case kKickStart0:
            m_state = Parse::KickStart;
            break;
        default:
            m_state = Parse::Stray;
            m_strayCount = 1;
            return;
    }
    Collect(byte, baud);
}

void LoaderModel::Collect(uint8_t byte, uint32_t baud) {
    m_message.push_back(byte);
    if (std::find(m_bauds.begin(), m_bauds.end(), baud) == m_bauds.end()) {
        m_bauds.push_back(baud);
    }
}

void LoaderModel::AbandonPartial() {
    switch (m_state) {
        case Parse::Idle:
            return;
        case Parse::Stray:
            FlushStray();
            break;
        case Parse::Etx:
            Violation(
                Format("ETX run of %zu bytes 0x03, expected %d", m_message.size(), kEtxRunLength));
            break;
        case Parse::Text:
            Violation("text command without its closing CR: \"" + Printable(m_message) + "\"");
            break;
        case Parse::KickStart:
            Violation("byte 0x23 alone, not followed by the kick-start's 0x4C");
            break;
        case Parse::Frame:
            Violation(Format("incomplete frame: %zu of %u bytes came", m_message.size(),
                             m_message.size() >= 2 ? m_message[1] : 0u));
            break;
    }
    m_state = Parse::Idle;
}

void LoaderModel::FlushStray() {
    Violation(
        Format("%zu stray byte%s outside any message", m_strayCount, m_strayCount == 1 ? "" : "s"));
    m_strayCount = 0;
    m_state = Parse::Idle;
}

void LoaderModel::FinishEtxRun(ModelOutput& out) {
    m_state = Parse::Idle;
    Current().etxRuns++;
    CheckRate("ETX run", m_loaderBaud);
    // The host drains 500 bytes after the ETX run that precedes the identify.
    if (!m_session.identified) {
        AddStale(out, kEtxDrainBytes);
    }
}

void LoaderModel::FinishText(ModelOutput& out) {
    m_state = Parse::Idle;
    // The text without the 0x03 in front of a SIF command and without its CR.
    const std::string text(m_message.begin() + (m_sifPrefix ? 1 : 0), m_message.end() - 1);
    if (text == "SIF 0 1") {
        if (!m_sifPrefix) {
            Violation("SIF command without its leading 0x03");
        }
        ++m_programmingSessions;
        NewSession();
        AddPhase("sif");
        CheckRate("SIF command", kSifBaud);
        m_loaderBaud = kLoaderStartBaud;
        AddStale(out, kSifDrainBytes);
    } else if (text == "TST 0 2") {
        SessionReport& session = Current();
        AddPhase("tst");
        CheckRate("TST command", m_loaderBaud);
        if (m_session.identified && m_session.erasedMask == 0xF && m_session.baudSeen &&
            session.fault.empty()) {
            session.completed = true;
        }
        out.writeReport = true;
    } else {
        Violation("unknown text command \"" + Printable(m_message) + "\"");
    }
}

void LoaderModel::FinishKickStart(ModelOutput& out) {
    m_state = Parse::Idle;
    NewSession();
    AddPhase("kickstart");
    CheckRate("kick-start", kKickStartBaud);
    ++m_kickStarts;
    m_current = -1;  // the kick-start stands alone
    m_loaderBaud = kLoaderStartBaud;
    out.writeReport = true;
}

void LoaderModel::FinishFrame(ModelOutput& out) {
    m_state = Parse::Idle;
    const size_t n = m_message.size();
    const uint8_t sum = SumOf(m_message.data(), n - 1);
    const uint8_t letter = m_message[2];
    if (sum != m_message[n - 1] && m_garbled) {
        // Spoilt on the way in, by the garbling line: the loader ignores it as any other.
        // A block counts all the same, so that blocks keep the host's numbering.
        if (letter == 'F') {
            Fault(Format("block %d garbled on the line, not answered", ++m_session.blocks), out);
        } else {
            Fault(Format("'%c' request garbled on the line, not answered",
                         letter >= 0x20 && letter < 0x7F ? letter : '?'),
                  out);
        }
        return;
    }
    if (sum != m_message[n - 1]) {
        Violation(Format("'%c' frame with a wrong checksum 0x%02X (the bytes sum to 0x%02X)",
                         letter >= 0x20 && letter < 0x7F ? letter : '?', m_message[n - 1], sum));
        return;  // a loader ignores a spoilt frame
    }
    switch (letter) {
        case 'I':
            OnIdentify(out);
            break;
        case 'D':
            OnErase(out);
            break;
        case 'B':
            OnBaud(out);
            break;
        case 'F':
            OnBlock(out);
            break;
        default:
            Violation(Format("frame with unknown command letter 0x%02X", letter));
            break;
    }
}

void LoaderModel::OnIdentify(ModelOutput& out) {
    if (m_message.size() != 4) {
        Violation(Format("identify request of %zu bytes, expected 4", m_message.size()));
    }
    Current();
    AddPhase("identify");
    CheckRate("identify request", m_loaderBaud);
    m_session.identified = true;
    const Answer answer = Faults().identify;
    const int length = Faults().identifyLength;
    if (answer == Answer::Silent) {
        Fault("identify unanswered", out);
        return;
    }
    out.reply = IdentifyReply(length);
    if (answer == Answer::BadChecksum) {
        SpoilChecksum(out.reply);
        Fault("identify answered with a wrong checksum", out);
    } else if (length < 4 || length > 30) {
        out.writeReport = true;  // a reply the host must refuse
    }
    AddStale(out, 0);
}

void LoaderModel::OnErase(ModelOutput& out) {
    if (m_message.size() != 8) {
        Violation(Format("erase request of %zu bytes, expected 8", m_message.size()));
        return;
    }
    SessionReport& session = Current();
    AddPhase("erase");
    CheckRate("erase request", m_loaderBaud);
    const uint32_t address = BigEndian32(&m_message[3]);
    if (address >= kFlashBase && address < kFlashBase + kFlashSize &&
        (address - kFlashBase) % kSectorSize == 0) {
        const uint32_t sector = (address - kFlashBase) / kSectorSize;
        std::fill_n(m_flash.begin() + (address - kFlashBase), kSectorSize, 0xFF);
        m_session.erasedMask |= 1u << sector;
        session.erased.push_back(address);
    } else {
        Violation(Format("erase of 0x%06X, which is not the start of a flash sector", address));
    }
    const int index = ++m_session.erases;
    const int faultAt = Faults().eraseFaultAt;
    out.reply = ReplyFrame('D', nullptr, 0);
    if (index == faultAt && m_options.eraseFault == Answer::Silent) {
        out.reply.clear();
        Fault(Format("erase %d unanswered", index), out);
        return;
    }
    if (index == faultAt && m_options.eraseFault == Answer::BadChecksum) {
        SpoilChecksum(out.reply);
        Fault(Format("erase %d answered with a wrong checksum", index), out);
    }
    AddStale(out, 0);
}

void LoaderModel::OnBaud(ModelOutput& out) {
    if (m_message.size() != 5) {
        Violation(Format("'B' request of %zu bytes, expected 5", m_message.size()));
        return;
    }
    Current();
    AddPhase("baud");
    CheckRate("'B' request", m_loaderBaud);
    const uint8_t code = m_message[3];
    const auto* found = std::find_if(std::begin(kBaudCodes), std::end(kBaudCodes),
                                     [code](const BaudCode& c) { return c.code == code; });
    if (found == std::end(kBaudCodes)) {
        Violation(Format("'B' request with unknown rate code %u", code));
        return;
    }
    m_loaderBaud = found->baud;
    m_session.baudSeen = true;
    AddStale(out, 0);
}

void LoaderModel::OnBlock(ModelOutput& out) {
    const size_t n = m_message.size();
    if (n < kBlockOverhead) {
        Violation(Format("write-block request of %zu bytes, shorter than %zu", n, kBlockOverhead));
        return;
    }
    SessionReport& session = Current();
    AddPhase("blocks");
    CheckRate("write-block request", m_loaderBaud);
    if (m_session.blocks == 0) {
        session.blockBaud = m_loaderBaud;
    }
    const uint32_t length = static_cast<uint32_t>(n - kBlockOverhead);
    const uint32_t address = BigEndian32(&m_message[3]);
    if (m_message[7] != 0x01) {
        Violation(Format("write-block request at 0x%06X with byte 7 = 0x%02X, expected 0x01",
                         address, m_message[7]));
    }
    if (length % 2 != 0 || m_message[8] != static_cast<uint8_t>(length / 2)) {
        Violation(Format("write-block request at 0x%06X with word count %u for %u data bytes",
                         address, m_message[8], length));
    }
    const int index = ++m_session.blocks;
    const int closeAt = Faults().closeAtBlock;
    const int faultAt = Faults().blockFaultAt;
    if (index == closeAt) {
        out.closeLine = true;
        Fault(Format("line closed at block %d", index), out);
        return;
    }

    if (address < kFlashBase || address - kFlashBase > kFlashSize ||
        length > kFlashBase + kFlashSize - address) {
        Violation(Format("block at 0x%06X of %u bytes reaches outside 0x%06X..0x%06X", address,
                         length, kFlashBase, kFlashBase + kFlashSize - 1));
    } else {
        const uint32_t offset = address - kFlashBase;
        if (offset % kBlockAlign != 0) {
            Violation(Format("block at 0x%06X is not 64-byte aligned", address));
        }
        bool erased = true;
        for (uint32_t sector = offset / kSectorSize;
             length > 0 && sector <= (offset + length - 1) / kSectorSize; ++sector) {
            if ((m_session.erasedMask & (1u << sector)) == 0) {
                Violation(Format("block at 0x%06X into sector 0x%06X, not erased in this session",
                                 address, kFlashBase + sector * kSectorSize));
                erased = false;
            }
        }
        const uint8_t* data = &m_message[10];
        if (erased && !std::all_of(m_flash.begin() + offset, m_flash.begin() + offset + length,
                                   [](uint8_t b) { return b == 0xFF; })) {
            Violation(Format("block at 0x%06X writes flash that is not erased", address));
        }
        // Flash can only clear bits: programming ANDs the data into what is there.
        for (uint32_t i = 0; i < length; ++i) {
            m_flash[offset + i] &= data[i];
        }
        if (session.blocksWritten == 0 || address < session.lowestBlock) {
            session.lowestBlock = address;
        }
        session.highestBlockEnd = std::max(session.highestBlockEnd, address + length);
        session.blocksWritten++;
    }

    out.reply = ReplyFrame('F', nullptr, 0);
    if (index == faultAt && m_options.blockFault == Answer::Silent) {
        out.reply.clear();
        Fault(Format("block %d unanswered", index), out);
        return;
    }
    if (index == faultAt && m_options.blockFault == Answer::BadChecksum) {
        SpoilChecksum(out.reply);
        Fault(Format("block %d answered with a wrong checksum", index), out);
    }
    AddStale(out, 0);
}

SessionReport& LoaderModel::Current() {
    if (m_current < 0) {
        m_sessions.emplace_back();
        m_current = static_cast<int>(m_sessions.size()) - 1;
        m_session = SessionState{};
    }
    return m_sessions[static_cast<size_t>(m_current)];
}

void LoaderModel::NewSession() {
    m_current = -1;
    Current();
}

void LoaderModel::AddPhase(const char* phase) {
    std::vector<std::string>& phases = Current().phases;
    if (phases.empty() || phases.back() != phase) {
        phases.emplace_back(phase);
    }
}

void LoaderModel::CheckRate(const std::string& what, uint32_t expected) {
    for (uint32_t baud : m_bauds) {
        if (baud != expected) {
            Violation(Format("%s at %u baud, expected %u", what.c_str(), baud, expected));
        }
    }
}

void LoaderModel::Violation(std::string text) {
    if (m_violations.size() < kMaxViolations) {
        m_violations.push_back(std::move(text));
    } else {
        ++m_droppedViolations;
    }
}

void LoaderModel::Fault(std::string text, ModelOutput& out) {
    Current().fault = std::move(text);
    out.writeReport = true;
}

void LoaderModel::AddStale(ModelOutput& out, size_t fill) const {
    if (!m_options.staleBytes) {
        return;
    }
    out.stale.assign(fill, kStaleFiller);
    out.stale.insert(out.stale.end(), std::begin(kStaleTail), std::end(kStaleTail));
}

Report LoaderModel::BuildReport(bool withDigest) const {
    Report report;
    report.sessions = m_sessions;
    report.kickStarts = m_kickStarts;
    report.lineClosed = m_lineClosed;
    if (withDigest) {
        report.flashDigest = FlashDigestOf(m_flash.data(), m_flash.size());
    }
    report.violations = m_violations;
    if (m_droppedViolations > 0) {
        report.violations.push_back(
            Format("... and %zu further violations not recorded", m_droppedViolations));
    }
    return report;
}

}  // namespace sim
