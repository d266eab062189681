// Fuzzes the whole programming sequence, and the kick-start after it, against an instrument
// that answers anything: the fuzzer's bytes are everything the serial port hands out, in
// the sizes the reads ask for (the drains after the two text commands included).  Byte 0
// sets up the rest: bits 0-2 make the first, second or third open of the port fail, bit 3
// asks for a cancel, signalled after as many blocks as bits 4-7 say.
//
// On every input (the run ending is libFuzzer's -timeout; reads and writes past a buffer are
// the sanitizers'): the host sends the sequence's requests in order, at their line rates,
// and nothing else; it ends in success only when every reply was well-formed (the identify,
// the four erases, a 4-byte reply to every block); a failure stops right after the first
// reply that was not, or at the cancel, and is told with the sequence's messages for that
// step (a cancel with none); the kick-start sends its two bytes, says so and closes the port.
#include "framework/runtime.h"
#include "fuzz/loader_oracle.h"
#include "image/app_image.h"
#include "image/image_header.h"
#include "link/device_programmer.h"
#include "link/load_report.h"
#include "link/serial_port_fuzz.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using namespace loader_oracle;

namespace {

const char kPort[] = "COM1:";
WindowHandle const kWindow = reinterpret_cast<WindowHandle>(0x5150);

// A small signed application: its highest byte at 0x4201C7, so eight blocks, the last one
// reaching past the end address.
constexpr uint32_t kEnd = ImageBase + 0x1C7;
constexpr uint32_t kBlockBytes = 64;

enum class Step { Text, Identify, Erase, Baud, Block };

struct Request {
    Step step;
    Bytes bytes;  // for a block: empty, the image gives them
    uint32_t address;
    int32_t baudRate;
    int32_t readTimeoutMs;
};

// Every request of a complete run, in order.
std::vector<Request> ExpectedRequests() {
    const Bytes sif = {0x03, 'S', 'I', 'F', ' ', '0', ' ', '1', '\r'};
    const Bytes etx(7, 0x03);
    const Bytes tst = {'T', 'S', 'T', ' ', '0', ' ', '2', '\r'};
    std::vector<Request> requests = {
        {Step::Text, sif, 0, 4800, 500},
        {Step::Text, etx, 0, 19200, 500},
        {Step::Identify, IdentifyRequest(), 0, 19200, 500},
    };
    for (uint32_t sector = 0; sector < 4; ++sector) {
        const uint32_t address = ImageBase + sector * 0x10000;
        requests.push_back({Step::Erase, EraseRequest(address), address, 19200, 4000});
    }
    requests.push_back({Step::Baud, Frame('B', {11}), 0, 19200, 500});
    for (uint32_t address = ImageBase; address < kEnd; address += kBlockBytes) {
        requests.push_back({Step::Block, {}, address, 115200, 500});
    }
    requests.push_back({Step::Text, etx, 0, 115200, 500});
    requests.push_back({Step::Text, tst, 0, 115200, 500});
    return requests;
}

bool Matches(const Request& expected, const fuzz_line::Exchange& sent) {
    const Bytes bytes =
        expected.step != Step::Block
            ? expected.bytes
            : BlockRequest(expected.address, AppImage + (expected.address - ImageBase), kBlockBytes,
                           FillerOf(sent.written));
    return sent.written == bytes && sent.baudRate == expected.baudRate &&
           sent.readTimeoutMs == expected.readTimeoutMs;
}

bool IsWellFormedReply(const Request& request, const Bytes& answered) {
    switch (request.step) {
        case Step::Identify:
            return IsWellFormedFrame(answered, kIdentifyMaxReplyBytes);
        case Step::Erase:
            return IsWellFormedFrame(answered, kEraseReplyBufferBytes);
        case Step::Block:
            return IsWellFormedBlockReply(answered);
        default:
            return true;  // nothing is awaited
    }
}

// One run's reports, and the cancel that a user presses after `cancelAfter` blocks.
struct Run {
    EventHandle cancelEvent = nullptr;
    int cancelAfter = -1;  // -1: no cancel
    int blocksReported = 0;
    std::vector<std::string> statusTexts;
};
Run g_run;

void SetUpOnce() {
    Capture();
    g_run.cancelEvent = CreateCancelEvent();
    SetReportHandler(kWindow, [](unsigned, uintptr_t kind, intptr_t value) {
        if (kind == ReportStatus) {
            g_run.statusTexts.emplace_back(reinterpret_cast<const char*>(value));
        }
        if ((kind == ReportTotal && g_run.cancelAfter == 0) ||
            (kind == ReportProgress && ++g_run.blocksReported == g_run.cancelAfter)) {
            SignalCancelEvent(g_run.cancelEvent);
        }
    });
    ClearImage();
    for (uint32_t offset = kSignatureBlockOffset; offset <= kEnd - ImageBase; ++offset) {
        AppImage[offset] = static_cast<uint8_t>(offset * 13 + 5);
    }
    StampImageHeader(ImageBase, kEnd);
    Check(IsImageSigned(), "the test image is signed");
}

void CheckProgramming(int result, uint32_t failingOpens, const std::vector<Request>& expected) {
    const auto& sent = fuzz_line::Exchanges();
    const std::vector<Message> messages = Messages();
    const bool done = !g_run.statusTexts.empty() && g_run.statusTexts.back() == "Done\n";
    Check(done == (result == 1), "\"Done\" is shown exactly when the run succeeds");

    if ((failingOpens & 1) != 0) {
        Check(result == 0 && sent.empty(), "a port that does not open is not written");
        Check(messages == std::vector<Message>{{kWindow, "Can't Open COM1:", "Error"}},
              "a port that does not open is named");
        return;
    }
    Check(sent.size() <= expected.size(), "nothing is sent beyond the sequence");
    for (size_t i = 0; i < sent.size(); ++i) {
        Check(Matches(expected[i], sent[i]), "the sequence's requests, in order, at their rates");
    }
    if ((failingOpens & 2) != 0) {
        Check(result == 0 && sent.size() == 1, "after a failed reopen nothing more is sent");
        Check(messages == std::vector<Message>{{kWindow, "Can't find Vyra", "Error"}},
              "a failed reopen reads as no loader");
        return;
    }
    for (size_t i = 0; i + 1 < sent.size(); ++i) {
        Check(IsWellFormedReply(expected[i], sent[i].answered),
              "the sequence goes on only after a well-formed reply");
    }
    if (result == 1) {
        Check(sent.size() == expected.size(), "a run that succeeds sends every request");
        Check(messages.empty(), "a run that succeeds shows no message");
        return;
    }

    Check(sent.size() >= 3, "a run that fails has got as far as the identify");
    const Request& last = expected[sent.size() - 1];
    const Bytes& reply = sent.back().answered;
    const bool lastWellFormed = IsWellFormedReply(last, reply);
    switch (last.step) {
        case Step::Identify:
            Check(!lastWellFormed, "a well-formed identify reply is taken");
            Check(messages == std::vector<Message>{{kWindow, "Can't find Vyra", "Error"}},
                  "no loader is told as such");
            return;
        case Step::Erase: {
            Check(!lastWellFormed, "a well-formed erase reply is taken");
            const char* box = IsWholeFrame(reply, kEraseReplyBufferBytes)
                                  ? "Verify fail!"
                                  : "Sector Erase Rec fail!";
            Check(
                messages == std::vector<Message>{{nullptr, box, "Oops"},
                                                 {kWindow, "Can't Erase Program Memory", "Error"}},
                "a failed erase is told with its box, then the error");
            return;
        }
        case Step::Block:
            if (!lastWellFormed) {
                Check(
                    messages == std::vector<Message>{{kWindow, "Can't Load Application", "Error"}},
                    "a failed block is told");
                return;
            }
            break;
        case Step::Baud:
            break;
        case Step::Text:
            Check(false, "a run that sent its closing commands succeeds");
    }
    // The last request was answered well and nothing followed: only a cancel stops there.
    Check(g_run.cancelAfter >= 0 && g_run.blocksReported == g_run.cancelAfter,
          "the blocks stop early only at a cancel");
    Check(messages.empty(), "a cancel is not told");
}

void CheckKickStart(bool openFails, size_t exchangesBefore, const CDeviceProgrammer& programmer) {
    const auto& sent = fuzz_line::Exchanges();
    Check(!programmer.m_link.m_serial.IsOpen(), "the kick-start leaves the port closed");
    if (openFails) {
        Check(sent.size() == exchangesBefore,
              "a kick-start on a port that does not open sends nothing");
        Check(Messages() == std::vector<Message>{{nullptr, "Can't Open COM1:", "Error"}},
              "a kick-start on a port that does not open names it");
        return;
    }
    Check(sent.size() == exchangesBefore + 1 && sent.back().written == Bytes{0x23, 0x4C} &&
              sent.back().baudRate == 19200 && sent.back().asked.empty(),
          "the kick-start sends its two bytes at 19200 and reads nothing");
    Check(Messages() == std::vector<Message>{{nullptr, "KickStart Attempted", "Status"}},
          "the kick-start says it was attempted");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<Request> expected = (SetUpOnce(), ExpectedRequests());
    if (size == 0) {
        return 0;
    }
    const uint32_t failingOpens = data[0] & 7;
    PollCancelEvent(g_run.cancelEvent);  // not signalled from an earlier input
    g_run.cancelAfter = (data[0] & 8) != 0 ? data[0] >> 4 : -1;
    g_run.blocksReported = 0;
    g_run.statusTexts.clear();
    Capture().Clear();
    fuzz_line::Plug(data + 1, size - 1, failingOpens);

    CDeviceProgrammer programmer;
    const int result = programmer.ProgramDevice(AppImage, ImageBase, kEnd, kWindow, WM_LOAD_REPORT,
                                                g_run.cancelEvent, kPort);
    Check(result == 0 || result == 1, "the result is 1 or 0");
    CheckProgramming(result, failingOpens, expected);

    const bool kickOpenFails = (failingOpens >> fuzz_line::Opens() & 1) != 0;
    const size_t exchangesBefore = fuzz_line::Exchanges().size();
    Capture().Clear();
    programmer.KickStart(nullptr, kPort);
    CheckKickStart(kickOpenFails, exchangesBefore, programmer);
    return 0;
}
