// CDeviceProgrammer: the programming sequence (text command at 4800 baud, identify and erase
// at 19200, blocks at 115200 or the rate it is told, closing commands) and the kick-start.
// Every failure is told to the user where it is found; the caller sees only the result.
// Every end closes the port before the user is told, a failure or cancel as much as success,
// and so does a first open that got the device but could not configure it: so another
// program (a terminal on the instrument) can open it at once, and an adapter pulled and
// plugged back in is not held by a dead handle until the next load.
#include "link/device_programmer.h"

#include "framework/text_buffer.h"
#include "image/app_image.h"
#include "link/load_report.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

constexpr int32_t kSifBaudRate = 4800;
constexpr int32_t kLoaderBaudRate = 19200;
constexpr int32_t kKickStartBaudRate = 19200;

constexpr uint8_t kSifCommand[] = {0x03, 'S', 'I', 'F', ' ', '0', ' ', '1', '\r'};
constexpr uint8_t kEtxRun[] = {0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03};
constexpr uint8_t kTstCommand[] = {'T', 'S', 'T', ' ', '0', ' ', '2', '\r'};

constexpr int32_t kSifDrainBytes = 300;       // waits up to 2 * 300 + 500 = 1100 ms
constexpr int32_t kEtxDrainBytes = 500;       // waits up to 1500 ms
constexpr unsigned kPortClosePauseMs = 500;   // before the port is closed after the SIF
constexpr unsigned kPortReopenPauseMs = 500;  // after it is reopened at 19200
constexpr unsigned kAfterEtxPauseMs = 100;
constexpr unsigned kAfterTstPauseMs = 200;

constexpr uint32_t kSectorBytes = 0x10000;
constexpr int kSectorCount = 4;  // 256 KiB from the start address, whatever the image length
constexpr uint32_t kBlockBytes = 64;

constexpr size_t kScratchBytes = 500;
constexpr size_t kOpenFailureTextBytes = 128;

constexpr char kLookingText[] = "Looking For Vyra...\n";
constexpr char kFoundText[] = "Vyra Found...\nErasing Program Memory...\n";
constexpr char kLoadingText[] = "Loading Application...\n";
constexpr char kDoneText[] = "Done\n";

constexpr char kErrorCaption[] = "Error";

// "Can't Open %s" with the port name, cut to the buffer.
void ShowCantOpen(WindowHandle owner, const char* portName) {
    char text[kOpenFailureTextBytes];
    std::snprintf(text, sizeof text, "Can't Open %s", portName != nullptr ? portName : "");
    ShowMessage(owner, text, kErrorCaption);
}

}  // namespace

int CDeviceProgrammer::ProgramDevice(const uint8_t* image, uint32_t start, uint32_t end,
                                     WindowHandle reportWindow, unsigned reportMessage,
                                     EventHandle cancelEvent, const char* portName) {
    // The blocks read the image up to end - start (rounded up to a block); a range the
    // image does not hold (or an end below the start) would read past it.
    if (image == nullptr || end - start > ImageSize) {
        ShowMessage(reportWindow, "Can't Load Application", kErrorCaption);
        return 0;
    }

    m_blockTiming = BlockTiming{};
    m_identifyWords[0] = m_identifyWords[1] = 0;
    m_identifyCarried = 0;
    char status[kTextBufferSize];
    uint8_t scratch[kScratchBytes];
    auto report = [&](uintptr_t kind, intptr_t value) {
        SendWindowReport(reportWindow, reportMessage, kind, value);
    };
    auto reportStatus = [&] { report(ReportStatus, reinterpret_cast<intptr_t>(status)); };

    // 1-6: the SIF command at 4800 baud, then the port is closed.
    if (!m_link.Open(portName, kSifBaudRate)) {
        m_link.Close();  // an open can fail after it got the device, which it then still holds
        ShowCantOpen(reportWindow, portName);
        return 0;
    }
    std::snprintf(status, sizeof status, "%s", kLookingText);
    reportStatus();
    report(ReportTotal, static_cast<intptr_t>(end - start));
    m_link.Exchange(kSifCommand, sizeof kSifCommand, scratch, 0, nullptr);
    m_link.Drain(scratch, kSifDrainBytes);
    SleepMs(kPortClosePauseMs);
    m_link.Close();

    // 7-11: reopen at 19200 and find the loader.  A failed reopen shows as a failed
    // identify: the sends go nowhere and nothing answers.
    m_link.Open(portName, kLoaderBaudRate);
    SleepMs(kPortReopenPauseMs);
    m_link.Exchange(kEtxRun, sizeof kEtxRun, scratch, 0, nullptr);
    m_link.Drain(scratch, kEtxDrainBytes);
    if (!m_link.Identify(m_identifyWords, &m_identifyCarried)) {
        m_link.Close();
        ShowMessage(reportWindow, "Can't find Vyra", kErrorCaption);
        return 0;
    }

    // 12-13: erase the four sectors, stopping at the first that fails.
    std::snprintf(status, sizeof status, "%s", kFoundText);
    reportStatus();
    for (int sector = 0; sector < kSectorCount; ++sector) {
        if (!m_link.EraseSector(start + static_cast<uint32_t>(sector) * kSectorBytes)) {
            m_link.Close();
            ShowMessage(reportWindow, "Can't Erase Program Memory", kErrorCaption);
            return 0;
        }
    }

    // 14-15: the loader is told the new rate at the old one, then the host follows.
    size_t used = std::strlen(status);
    std::snprintf(status + used, sizeof status - used, "%s", kLoadingText);
    reportStatus();
    m_link.SetLoaderBaudRate(m_blockBaudRate);
    m_link.ChangeBaudRate(m_blockBaudRate);

    // 16: the blocks.  The cancel is looked at before each one; a block in flight finishes.
    const uint32_t total = end - start;
    for (uint32_t offset = 0; offset < total; offset += kBlockBytes) {
        if (PollCancelEvent(cancelEvent)) {
            m_link.Close();
            return 0;  // the user asked for it: nothing to tell
        }
        const auto sent = std::chrono::steady_clock::now();
        if (!m_link.WriteBlock(start + offset, image + offset, kBlockBytes)) {
            // The instrument now holds a partial application: say so, or the closing
            // progress window would look like success.
            m_link.Close();
            ShowMessage(reportWindow, "Can't Load Application", kErrorCaption);
            return 0;
        }
        m_blockTiming.seconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
        ++m_blockTiming.blocks;
        report(ReportProgress, static_cast<intptr_t>(offset + kBlockBytes));
    }

    // 17-20: the closing commands.
    m_link.Exchange(kEtxRun, sizeof kEtxRun, scratch, 0, nullptr);
    SleepMs(kAfterEtxPauseMs);
    m_link.Exchange(kTstCommand, sizeof kTstCommand, scratch, 0, nullptr);
    SleepMs(kAfterTstPauseMs);
    std::snprintf(status, sizeof status, "%s", kDoneText);
    reportStatus();
    m_link.Close();
    return 1;
}

IdentifyBytes CDeviceProgrammer::LastIdentify() const {
    // The words hold bytes 3 to 6 and 7 to 10 with the first byte least significant.
    IdentifyBytes identify;
    for (uint32_t i = 0; i < sizeof identify.bytes; ++i) {
        identify.bytes[i] = static_cast<uint8_t>(m_identifyWords[i / 4] >> (8 * (i % 4)));
    }
    identify.count = m_identifyCarried;
    return identify;
}

bool CDeviceProgrammer::SetBlockBaudRate(int32_t baudRate) {
    for (int32_t rate : kBlockBaudRates) {
        if (rate == baudRate) {
            m_blockBaudRate = baudRate;
            return true;
        }
    }
    return false;
}

void CDeviceProgrammer::KickStart(WindowHandle owner, const char* portName) {
    if (!m_link.Open(portName, kKickStartBaudRate)) {
        m_link.Close();  // as in ProgramDevice
        ShowCantOpen(owner, portName);
        return;
    }
    m_link.SendKickStart();
    m_link.Close();
    ShowMessage(owner, "KickStart Attempted", "Status");
}
