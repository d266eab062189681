// vyra-sim: the simulated instrument as a program.  It creates the pseudo-terminal, prints the
// path of its host side on stdout, optionally links it where a host looks for its port (a wine
// prefix's dosdevices/com1), and answers until SIGINT or SIGTERM; then it writes the report.
#include "sim/simulated_instrument.h"

#include <signal.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// "K", "K:silent" or "K:checksum": the K-th request (from 1) and how it is answered.
bool ParseFault(const std::string& text, int& index, sim::Answer& answer) {
    std::string word = text;
    answer = sim::Answer::Silent;
    const size_t colon = word.find(':');
    if (colon != std::string::npos) {
        const std::string kind = word.substr(colon + 1);
        if (kind == "checksum") {
            answer = sim::Answer::BadChecksum;
        } else if (kind != "silent") {
            return false;
        }
        word.resize(colon);
    }
    if (word.empty() || word.size() > 7 ||
        word.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    index = std::stoi(word);
    return index > 0;
}

// Points `link` at `target`, replacing what is there, in one rename.
bool MakeLink(const std::string& target, const std::string& link) {
    const std::string temporary = link + ".vyra-sim." + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0) {
        return false;
    }
    if (rename(temporary.c_str(), link.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

int Fail(const char* what, const char* detail) {
    std::fprintf(stderr, "vyra-sim: %s%s\n", what, detail);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    sim::Options options;
    std::string linkPath, pidFile, eraseFault, blockFault;
    CLI::App app{
        "Creates a pseudo-terminal that answers as a Vyra instrument's boot loader, prints "
        "its path and runs until SIGINT or SIGTERM: a way to try velko-cli and "
        "velko-station without an instrument.",
        "vyra-sim"};
    app.set_version_flag("--version", "vyra-sim " ORVANE_VERSION);
    app.add_option("--link", linkPath,
                   "make PATH a symbolic link to the pty (an existing link is replaced), e.g. "
                   "$WINEPREFIX/dosdevices/com1")
        ->type_name("PATH");
    app.add_option("--report", options.reportPath,
                   "write the JSON report to FILE (after each session, kick-start and fault, and "
                   "at exit)")
        ->type_name("FILE");
    app.add_option("--pidfile", pidFile, "write the process id to FILE")->type_name("FILE");
    app.add_flag("--pace", options.pace,
                 "receive and answer every message at the line's real rate");
    app.add_option("--reply-delay", options.replyDelayMs,
                   "hold every answer back MS ms before it starts going out, as a USB adapter's "
                   "latency timer does (paced or not)")
        ->check(CLI::Range(0, 60000))
        ->type_name("MS");
    app.add_flag_callback(
        "--identify-silent", [&] { options.identify = sim::Answer::Silent; },
        "never answer identify");
    app.add_flag_callback(
        "--identify-bad-checksum", [&] { options.identify = sim::Answer::BadChecksum; },
        "answer identify with a wrong checksum");
    app.add_option("--identify-length", options.identifyLength,
                   "answer identify with a frame of N bytes")
        ->capture_default_str()
        ->check(CLI::Range(0, 255))
        ->type_name("N");
    app.add_option("--erase-fault", eraseFault,
                   "spoil the answer to the K-th erase (default silent)")
        ->type_name("K[:silent|:checksum]");
    app.add_option("--block-fault", blockFault,
                   "spoil the answer to the N-th block (default silent)")
        ->type_name("N[:silent|:checksum]");
    app.add_flag("--stale-bytes", options.staleBytes,
                 "send stray bytes that the host's purges must discard");
    app.add_option("--close-at-block", options.closeAtBlock, "hang up when the N-th block arrives")
        ->check(CLI::Range(1, 1000000))
        ->type_name("N");
    app.add_option("--garble-above", options.garbleAboveBaud,
                   "while the line runs faster than RATE baud, flip a bit of every 200th byte "
                   "received: that frame fails its checksum, unanswered")
        ->check(CLI::Range(1, 10000000))
        ->type_name("RATE");
    app.add_option("--faulty-sessions", options.faultySessions,
                   "the faults strike in the first K programming sessions (from a SIF command) "
                   "only; later ones are healthy (0: all)")
        ->capture_default_str()
        ->check(CLI::Range(0, 1000000))
        ->type_name("K");
    try {
        app.parse(argc, argv);
        if (!eraseFault.empty() &&
            !ParseFault(eraseFault, options.eraseFaultAt, options.eraseFault)) {
            throw CLI::ValidationError("--erase-fault", "bad erase fault: " + eraseFault);
        }
        if (!blockFault.empty() &&
            !ParseFault(blockFault, options.blockFaultAt, options.blockFault)) {
            throw CLI::ValidationError("--block-fault", "bad block fault: " + blockFault);
        }
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? 0 : 2;
    }

    // The signals are taken by sigwait below; the instrument's thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    sim::SimulatedInstrument instrument(options);
    if (!instrument.Start()) {
        return Fail("cannot create a pseudo-terminal: ", std::strerror(errno));
    }
    if (!linkPath.empty() && !MakeLink(instrument.PortPath(), linkPath)) {
        return Fail("cannot make the link ", linkPath.c_str());
    }
    if (!pidFile.empty()) {
        std::FILE* file = std::fopen(pidFile.c_str(), "w");
        if (file == nullptr) {
            return Fail("cannot write ", pidFile.c_str());
        }
        std::fprintf(file, "%d\n", static_cast<int>(getpid()));
        std::fclose(file);
    }
    std::printf("%s\n", instrument.PortPath().c_str());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);

    instrument.Stop();  // writes the report
    const sim::Report report = instrument.GetReport();
    std::fprintf(stderr, "vyra-sim: %zu session(s), %u kick-start(s), %zu violation(s)\n",
                 report.sessions.size(), report.kickStarts, report.violations.size());
    for (const std::string& violation : report.violations) {
        std::fprintf(stderr, "vyra-sim: violation: %s\n", violation.c_str());
    }
    if (!pidFile.empty()) {
        unlink(pidFile.c_str());
    }
    return 0;
}
