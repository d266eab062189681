// Benchmarks of the device link over a pseudo-terminal with the simulated instrument:
//  - BM_BlockExchange: one write-block exchange when the instrument answers at once.  The
//    CPU column is the host's own work per block (framing, purge, write, timed read, check);
//    the Time column adds the pty and the simulated instrument's turn-around.
//  - BM_FullImageBlockPhasePaced: a whole ProgramDevice with every byte paced at the line's
//    real rate; the manual time is the block phase (from the "Loading Application" status
//    to the last progress report), to hold against the wire's limit of 4096 x 79 bytes x
//    10 bits / 115200 = 28.09 s.
#include "framework/runtime.h"
#include "image/app_image.h"
#include "link/device_programmer.h"
#include "link/load_report.h"
#include "link/loader_link.h"
#include "sim/simulated_instrument.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kBlockBytes = 64;
constexpr uint32_t kBlocksPerImage = ImageSize / kBlockBytes;
constexpr double kBitsPerByte = 10.0;       // 8N1: start, 8 data, stop
constexpr double kBlockWireBytes = 75 + 4;  // request and reply
constexpr double kWireSecondsPerBlock = kBlockWireBytes * kBitsPerByte / 115200.0;

std::vector<uint8_t> BenchImage() {
    std::vector<uint8_t> image(ImageSize);
    std::mt19937 random(11);
    for (auto& b : image) {
        b = static_cast<uint8_t>(random());
    }
    return image;
}

// Takes the instrument through the text command, identify, the four erases and the switch
// to 115200, as the programming sequence does, without its fixed pauses.
bool PrepareForBlocks(CLoaderLink& link, sim::SimulatedInstrument& instrument, bool eraseOnly) {
    static const uint8_t kSif[] = {0x03, 'S', 'I', 'F', ' ', '0', ' ', '1', '\r'};
    static const uint8_t kEtx[] = {0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03};
    const char* port = instrument.PortPath().c_str();
    if (!eraseOnly) {
        if (!link.Open(port, 4800)) {
            return false;
        }
        link.Exchange(kSif, sizeof kSif, nullptr, 0, nullptr);
        instrument.WaitIdle(2000);
        if (!link.Open(port, 19200)) {
            return false;
        }
        link.Exchange(kEtx, sizeof kEtx, nullptr, 0, nullptr);
        instrument.WaitIdle(2000);
        uint32_t words[2];
        if (!link.Identify(words)) {
            return false;
        }
    }
    for (uint32_t sector = 0; sector < 4; ++sector) {
        if (!link.EraseSector(ImageBase + sector * 0x10000)) {
            return false;
        }
    }
    if (!eraseOnly) {
        link.SetLoaderBaudRate(115200);
        instrument.WaitIdle(2000);
        link.ChangeBaudRate(115200);
    }
    return true;
}

void BM_BlockExchange(benchmark::State& state) {
    sim::SimulatedInstrument instrument;
    if (!instrument.Start()) {
        state.SkipWithError("the simulated instrument did not start");
        return;
    }
    CLoaderLink link;
    if (!PrepareForBlocks(link, instrument, false)) {
        state.SkipWithError("the simulated loader was not reached");
        return;
    }
    const std::vector<uint8_t> image = BenchImage();
    uint32_t block = 0;
    int64_t failures = 0;
    for (auto _ : state) {
        if (block == kBlocksPerImage) {
            // Flash is written once per erase: erase again, outside the measurement.
            state.PauseTiming();
            PrepareForBlocks(link, instrument, true);
            block = 0;
            state.ResumeTiming();
        }
        const uint32_t offset = block * kBlockBytes;
        if (!link.WriteBlock(ImageBase + offset, image.data() + offset, kBlockBytes)) {
            ++failures;
        }
        ++block;
    }
    state.counters["failures"] = static_cast<double>(failures);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BlockExchange)->Unit(benchmark::kMicrosecond)->MinTime(3.0);

void BM_FullImageBlockPhasePaced(benchmark::State& state) {
    const std::vector<uint8_t> image = BenchImage();
    static const WindowHandle kWindow = reinterpret_cast<WindowHandle>(0xB10C);
    for (auto _ : state) {
        sim::Options options;
        options.pace = true;
        sim::SimulatedInstrument instrument(options);
        if (!instrument.Start()) {
            state.SkipWithError("the simulated instrument did not start");
            return;
        }
        Clock::time_point loading{}, firstBlock{}, lastBlock{};
        uint32_t progressReports = 0;
        SetReportHandler(kWindow, [&](unsigned, uintptr_t kind, intptr_t value) {
            if (kind == ReportStatus &&
                std::string(reinterpret_cast<const char*>(value)).find("Loading") !=
                    std::string::npos) {
                loading = Clock::now();
            } else if (kind == ReportProgress) {
                if (++progressReports == 1) {
                    firstBlock = Clock::now();
                }
                lastBlock = Clock::now();
            }
        });
        CDeviceProgrammer programmer;
        const int result =
            programmer.ProgramDevice(image.data(), ImageBase, ImageBase + ImageSize - 1, kWindow,
                                     WM_LOAD_REPORT, nullptr, instrument.PortPath().c_str());
        SetReportHandler(kWindow, nullptr);
        const bool sameFlash = instrument.Flash() == image;
        if (result != 1 || progressReports != kBlocksPerImage || !sameFlash) {
            state.SkipWithError("the image was not programmed");
            return;
        }
        const double phase = std::chrono::duration<double>(lastBlock - loading).count();
        const double perBlock =
            std::chrono::duration<double>(lastBlock - firstBlock).count() / (kBlocksPerImage - 1);
        const double wire = kWireSecondsPerBlock * kBlocksPerImage;
        state.SetIterationTime(phase);
        state.counters["phase_s"] = phase;
        state.counters["wire_limit_s"] = wire;
        state.counters["over_wire_pct"] = (phase / wire - 1.0) * 100.0;
        state.counters["ms_per_block"] = perBlock * 1e3;
        state.counters["wire_ms_per_block"] = kWireSecondsPerBlock * 1e3;
    }
}
BENCHMARK(BM_FullImageBlockPhasePaced)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
