// vyra-sim: the simulated instrument as a program.  It creates the pseudo-terminal, prints the
// path of its host side on stdout, optionally links it where a host looks for its port (a wine
// prefix's dosdevices/com1), and answers until SIGINT or SIGTERM; then it writes the report.
#include "sim/simulated_instrument.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kUsage[] =
    "usage: vyra-sim [options]\n"
    "Creates a pseudo-terminal that answers as the instrument's boot loader, prints its path\n"
    "and runs until SIGINT or SIGTERM.\n"
    "  --link PATH              make PATH a symbolic link to the pty (an existing link is\n"
    "                           replaced), e.g. $WINEPREFIX/dosdevices/com1\n"
    "  --report FILE            write the JSON report to FILE (after each session, kick-start\n"
    "                           and fault, and at exit)\n"
    "  --pidfile FILE           write the process id to FILE\n"
    "  --pace                   receive and answer every message at the line's real rate\n"
    "  --reply-delay MS         hold every answer back MS ms before it starts going out, as a\n"
    "                           USB adapter's latency timer does (paced or not)\n"
    "  --identify-silent        never answer identify\n"
    "  --identify-bad-checksum  answer identify with a wrong checksum\n"
    "  --identify-length N      answer identify with a frame of N bytes (default 12)\n"
    "  --erase-fault K[:silent|:checksum]  spoil the answer to the K-th erase (default silent)\n"
    "  --block-fault N[:silent|:checksum]  spoil the answer to the N-th block (default silent)\n"
    "  --stale-bytes            send stray bytes that the host's purges must discard\n"
    "  --close-at-block N       hang up when the N-th block arrives\n"
    "  --garble-above RATE      while the line runs faster than RATE baud, flip a bit of every\n"
    "                           200th byte received: that frame fails its checksum, unanswered\n"
    "  --faulty-sessions K      the faults strike in the first K programming sessions (from a\n"
    "                           SIF command) only; later ones are healthy (default 0: all)\n"
    "  --help                   this text\n";

bool ParseCount(const char* text, int& value) {
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < 0 || parsed > 1'000'000) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

// "K", "K:silent" or "K:checksum".
bool ParseFault(const char* text, int& index, sim::Answer& answer) {
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
    return ParseCount(word.c_str(), index) && index > 0;
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
    std::string linkPath, pidFile;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--pace") {
            options.pace = true;
        } else if (arg == "--identify-silent") {
            options.identify = sim::Answer::Silent;
        } else if (arg == "--identify-bad-checksum") {
            options.identify = sim::Answer::BadChecksum;
        } else if (arg == "--stale-bytes") {
            options.staleBytes = true;
        } else if (!hasValue) {
            return Fail("unknown option or missing value: ", argv[i]);
        } else if (arg == "--link") {
            linkPath = argv[++i];
        } else if (arg == "--report") {
            options.reportPath = argv[++i];
        } else if (arg == "--pidfile") {
            pidFile = argv[++i];
        } else if (arg == "--identify-length") {
            if (!ParseCount(argv[++i], options.identifyLength) || options.identifyLength > 255) {
                return Fail("bad identify length: ", argv[i]);
            }
        } else if (arg == "--erase-fault") {
            if (!ParseFault(argv[++i], options.eraseFaultAt, options.eraseFault)) {
                return Fail("bad erase fault: ", argv[i]);
            }
        } else if (arg == "--block-fault") {
            if (!ParseFault(argv[++i], options.blockFaultAt, options.blockFault)) {
                return Fail("bad block fault: ", argv[i]);
            }
        } else if (arg == "--reply-delay") {
            if (!ParseCount(argv[++i], options.replyDelayMs) || options.replyDelayMs > 60'000) {
                return Fail("bad reply delay: ", argv[i]);
            }
        } else if (arg == "--garble-above") {
            int rate = 0;
            if (!ParseCount(argv[++i], rate) || rate == 0) {
                return Fail("bad rate: ", argv[i]);
            }
            options.garbleAboveBaud = static_cast<uint32_t>(rate);
        } else if (arg == "--faulty-sessions") {
            if (!ParseCount(argv[++i], options.faultySessions)) {
                return Fail("bad session count: ", argv[i]);
            }
        } else if (arg == "--close-at-block") {
            if (!ParseCount(argv[++i], options.closeAtBlock) || options.closeAtBlock == 0) {
                return Fail("bad block number: ", argv[i]);
            }
        } else {
            return Fail("unknown option: ", argv[i]);
        }
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
