// The console on POSIX: isatty, TIOCGWINSZ and signal handlers.  A handler may do little: it
// counts (an atomic) and signals the runs' cancel events, which are atomic flags; the program
// tells the user afterwards.  The second interrupt leaves with _exit, which a handler may
// call.
#include "cli/console.h"

#include "cli/console_internal.h"
#include "cli/exit_status.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<int> g_interrupts{0};

void OnInterrupt(int) {
    if (g_interrupts.fetch_add(1) + 1 >= 2) {
        _exit(kExitInterrupted);
    }
    SignalInterruptEvents();
}

}  // namespace

bool IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) == 1;
}

bool EnableTerminalSequences(std::FILE*) {
    return true;
}

int TerminalColumns(std::FILE* stream) {
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

void InstallInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    // A reader of our output that goes away (`velko-cli ... | head`) must not end a run that
    // is writing to an instrument: the writes fail instead.
    signal(SIGPIPE, SIG_IGN);
}

int InterruptCount() {
    return g_interrupts.load();
}
