// `velko-cli program`: the application file is read, stamped, signed and checked once (as a
// load job does before it opens a port), then every port is programmed at the same time, each
// by a run of its own.  Ctrl-C asks every run to stop before its next block; the runs close
// their ports as they end.
#include "cli/commands.h"

#include "cli/console.h"
#include "cli/run_output.h"
#include "devtools/developer_locations.h"
#include "image/app_image.h"
#include "job/load_job.h"
#include "link/load_report.h"
#include "port_runs/exit_status.h"
#include "port_runs/gang_run.h"
#include "port_runs/instrument_serial.h"
#include "port_runs/interrupt.h"
#include "port_runs/message_router.h"
#include "port_runs/serial_ports.h"
#include "port_runs/sign_option.h"
#include "port_runs/trace_file.h"

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kWatchInterval = std::chrono::milliseconds(20);

// The ports of --port and --ports-from, in order; false, told, when they can't be used.
bool CollectPorts(const ProgramOptions& options, std::vector<std::string>* ports) {
    *ports = options.ports;
    if (!options.portsFrom.empty() && !ReadPortList(options.portsFrom, ports)) {
        std::fprintf(stderr, "error: can't read the port list %s\n", options.portsFrom.c_str());
        return false;
    }
    if (ports->empty()) {
        std::fprintf(stderr, "error: no port given (--port PORT or --ports-from FILE)\n");
        return false;
    }
    const std::string twice = SamePortTwice(*ports);
    if (!twice.empty()) {
        std::fprintf(stderr, "error: %s\n", twice.c_str());
        return false;
    }
    return true;
}

// The serial numbers of --instrument, one per port in the ports' order (none at all when no
// --instrument is given); false, told, when they can't be used.
bool CollectInstruments(const ProgramOptions& options, const std::vector<std::string>& ports,
                        std::vector<std::string>* serials) {
    serials->assign(ports.size(), std::string());
    if (options.instruments.empty()) {
        return true;
    }
    if (options.instruments.size() != ports.size()) {
        std::fprintf(stderr,
                     "error: %zu --instrument for %zu port(s): give one serial number for each "
                     "port, in the ports' order\n",
                     options.instruments.size(), ports.size());
        return false;
    }
    for (size_t i = 0; i < ports.size(); ++i) {
        std::string why;
        if (!CleanInstrumentSerial(options.instruments[i], &(*serials)[i], &why)) {
            std::fprintf(stderr, "error: the instrument on %s: %s\n", ports[i].c_str(),
                         why.c_str());
            return false;
        }
    }
    size_t first = 0, second = 0;
    if (SameSerialTwice(*serials, &first, &second)) {
        std::fprintf(stderr, "error: the serial number %s is given for %s and for %s\n",
                     (*serials)[first].c_str(), ports[first].c_str(), ports[second].c_str());
        return false;
    }
    return true;
}

// What an interrupted instrument is left like, for the user to act on.
std::string LeftState(const CPortRun& run, int32_t blockRate) {
    const std::string rate = std::to_string(blockRate);
    if (run.BytesDone() <= 0) {
        return "interrupted before the first block: the instrument is erased, its loader at " +
               rate + " baud; reload it";
    }
    return "interrupted after " + std::to_string(run.BytesDone()) + " of " +
           std::to_string(run.Total()) +
           " bytes: the instrument is erased and partly written, its loader at " + rate +
           " baud; reload it";
}

}  // namespace

int RunProgram(const ProgramOptions& options) {
    const auto started = Clock::now();
    std::vector<std::string> ports;
    std::vector<std::string> serials;
    if (!CollectPorts(options, &ports) || !CollectInstruments(options, ports, &serials)) {
        return kExitUsage;
    }
    SignAppFn signApp = nullptr;
    if (!LoadSignOption(options.signLibrary, &signApp)) {
        return kExitUsage;
    }
    CTraceFile trace;
    if (!options.trace.empty() &&
        !trace.Open(options.trace, "velko-cli trace of " + options.file)) {
        std::fprintf(stderr, "error: can't write the trace file %s\n", options.trace.c_str());
        return kExitUsage;
    }

    OutputOptions outputOptions;
    outputOptions.json = options.json;
    outputOptions.liveProgress = !options.json && !options.noProgress && IsTerminal(stdout) &&
                                 EnableTerminalSequences(stdout);
    // A unit's serial is named beside its port on every line, also for a single port.
    outputOptions.portNames = ports.size() > 1 || !options.instruments.empty();
    outputOptions.attempts = options.retries > 0;
    outputOptions.columns = TerminalColumns(stdout);
    CRunOutput output(outputOptions, stdout, stderr);
    CMessageRouter router(output);
    InstallInterruptHandler();
    auto secondsSoFar = [&] {
        return std::chrono::duration<double>(Clock::now() - started).count();
    };

    // The file, once, before any port is touched.
    int fileToken = 0;
    WindowHandle fileHandle = &fileToken;
    router.BindOwner(fileHandle, kNoPort);
    SetReportHandler(fileHandle, [&output](unsigned, uintptr_t kind, intptr_t value) {
        if (kind == ReportStatus) {
            output.Status(kNoPort, reinterpret_cast<const char*>(value));
        }
    });
    uint32_t endAddress = 0;
    const bool ready = PrepareLoadImage(options.file.c_str(), fileHandle, WM_LOAD_REPORT, signApp,
                                        0, kExportFilePath, &endAddress);
    SetReportHandler(fileHandle, nullptr);
    if (!ready) {
        output.Summary(0, 0, secondsSoFar());
        return kExitFileRefused;
    }
    if (InterruptCount() > 0) {
        output.Summary(0, 0, secondsSoFar());
        return kExitInterrupted;
    }

    PortRunSettings settings;
    settings.blockRate = options.blockRate;
    settings.retries = options.retries;
    CGangRun gang(output, router, options.trace.empty() ? nullptr : &trace, settings);
    for (size_t i = 0; i < ports.size(); ++i) {
        gang.Add(ports[i], output.AddPort(ports[i], serials[i]), serials[i]);
    }
    gang.Start(AppImage, ImageBase, endAddress);

    // Watch for Ctrl-C while the runs work.  The interrupt itself has already signalled the
    // runs' cancel events; here the user is told what happens, once.
    bool noted = false;
    auto tellInterrupt = [&] {
        if (noted || InterruptCount() == 0) {
            return;
        }
        noted = true;
        for (const auto& run : gang.Runs()) {
            if (run->Finished() && run->Outcome() != RunOutcome::Cancelled) {
                continue;
            }
            run->Cancel();
            output.Note(run->Port(),
                        run->BytesDone() > 0
                            ? "stopping before the next block (Ctrl-C again ends at once)"
                            : "stopping after the current step: finding and erasing the "
                              "instrument run to their end, no block is written (Ctrl-C "
                              "again ends at once)");
        }
    };
    while (!gang.WaitFor(kWatchInterval)) {
        tellInterrupt();
    }
    tellInterrupt();
    gang.Join();

    for (const auto& run : gang.Runs()) {
        if (run->Outcome() == RunOutcome::Cancelled) {
            output.Note(run->Port(), LeftState(*run, options.blockRate));
        }
    }
    const GangTally tally = gang.Tally();
    output.Summary(tally.done, tally.failed + tally.cancelled, secondsSoFar());
    if (!trace.Close() && !options.trace.empty()) {
        std::fprintf(stderr, "error: the trace file %s is incomplete\n", options.trace.c_str());
    }
    return ExitStatusFor(tally);
}
