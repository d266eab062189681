// What the programming sequence's tests share: a report receiver that can signal the cancel
// event at a chosen progress report, a message log that notes whether the port was held when
// each box was shown, and a test image.
#pragma once

#include "framework/runtime.h"
#include "image/app_image.h"
#include "link/device_programmer.h"
#include "link/load_report.h"
#include "sim/simulated_instrument.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace programmer_test {

inline WindowHandle const kWindow = reinterpret_cast<WindowHandle>(0x5150);

struct Report {
    unsigned message;
    uintptr_t kind;
    intptr_t value;
    std::string text;  // a status report's text, copied while it was handled
};

// Receives the reports sent to kWindow, in order.  With cancelAtProgress = k, signals the
// cancel event while handling the k-th progress report, as a user's Cancel would.
class ReportLog {
public:
    ReportLog() {
        SetReportHandler(kWindow, [this](unsigned message, uintptr_t kind, intptr_t value) {
            Report r{message, kind, value, {}};
            if (kind == ReportStatus) {
                r.text = reinterpret_cast<const char*>(value);
            }
            m_reports.push_back(r);
            if (kind == ReportProgress && ++m_progressCount == cancelAtProgress) {
                SignalCancelEvent(cancelEvent);
            }
            if (onReport) {
                onReport(r);
            }
        });
    }
    ~ReportLog() { SetReportHandler(kWindow, nullptr); }
    ReportLog(const ReportLog&) = delete;
    ReportLog& operator=(const ReportLog&) = delete;

    const std::vector<Report>& All() const { return m_reports; }
    std::vector<std::string> StatusTexts() const {
        std::vector<std::string> texts;
        for (const auto& r : m_reports) {
            if (r.kind == ReportStatus) {
                texts.push_back(r.text);
            }
        }
        return texts;
    }
    std::vector<intptr_t> Values(uintptr_t kind) const {
        std::vector<intptr_t> values;
        for (const auto& r : m_reports) {
            if (r.kind == kind) {
                values.push_back(r.value);
            }
        }
        return values;
    }

    int cancelAtProgress = 0;
    EventHandle cancelEvent = nullptr;
    std::function<void(const Report&)> onReport;  // called after each report is logged

private:
    std::vector<Report> m_reports;
    int m_progressCount = 0;
};

struct Shown {
    WindowHandle owner;
    std::string text;
    std::string caption;
    bool portHeld;  // whether the programmer held its port when the box came up

    bool operator==(const Shown&) const = default;
};

inline void PrintTo(const Shown& m, std::ostream* os) {
    *os << "{" << m.owner << ", \"" << m.text << "\", \"" << m.caption << "\", "
        << (m.portHeld ? "held" : "closed") << "}";
}

// Records every message box instead of showing it.
class MessageLog {
public:
    explicit MessageLog(const CDeviceProgrammer& programmer) {
        m_previous = SetMessageHandler(
            [this, &programmer](WindowHandle owner, const char* text, const char* caption) {
                m_shown.push_back({owner, text, caption, programmer.m_link.m_serial.IsOpen()});
            });
    }
    ~MessageLog() { SetMessageHandler(m_previous); }
    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;

    const std::vector<Shown>& All() const { return m_shown; }

private:
    std::vector<Shown> m_shown;
    MessageHandler m_previous;
};

// A full image of recognisable random bytes, none of the blocks all 0xFF.
inline std::vector<uint8_t> TestImage(unsigned seed = 7) {
    std::vector<uint8_t> image(ImageSize);
    std::mt19937 random(seed);
    for (auto& b : image) {
        b = static_cast<uint8_t>(random() % 255);  // never 0xFF: erased flash shows apart
    }
    return image;
}

inline std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& line : lines) {
        all += line + "\n";
    }
    return all;
}

// The instrument's flash after erasing everything and writing `count` image bytes.
inline std::vector<uint8_t> FlashHolding(const std::vector<uint8_t>& image, size_t count) {
    std::vector<uint8_t> flash(sim::kFlashSize, 0xFF);
    std::copy(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(count), flash.begin());
    return flash;
}

inline const std::string kLooking = "Looking For Vyra...\n";
inline const std::string kFound = "Vyra Found...\nErasing Program Memory...\n";
inline const std::string kLoading = kFound + "Loading Application...\n";
inline const std::string kDone = "Done\n";
inline const std::vector<uint32_t> kAllSectors = {0x420000, 0x430000, 0x440000, 0x450000};

// A programmer, its report and message logs, a cancel event, a test image and a running
// simulated instrument.
class ProgrammerTest : public testing::Test {
protected:
    void SetUp() override { StartSim({}); }
    void TearDown() override { CloseCancelEvent(m_cancel); }

    void StartSim(sim::Options options) {
        m_sim = std::make_unique<sim::SimulatedInstrument>(std::move(options));
        ASSERT_TRUE(m_sim->Start());
    }
    int Program(uint32_t length) {
        return m_programmer.ProgramDevice(m_image.data(), ImageBase, ImageBase + length, kWindow,
                                          WM_LOAD_REPORT, m_cancel, m_sim->PortPath().c_str());
    }
    sim::Report SimReport() {
        EXPECT_TRUE(m_sim->WaitIdle(3000));
        sim::Report report = m_sim->GetReport();
        EXPECT_TRUE(report.violations.empty()) << Joined(report.violations);
        return report;
    }

    std::unique_ptr<sim::SimulatedInstrument> m_sim;
    CDeviceProgrammer m_programmer;
    ReportLog m_reports;
    MessageLog m_messages{m_programmer};
    EventHandle m_cancel = CreateCancelEvent();
    const std::vector<uint8_t> m_image = TestImage();
};

}  // namespace programmer_test
