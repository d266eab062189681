// The console on POSIX: isatty, TIOCGWINSZ and signal handlers.  A handler may do little: it
// counts (an atomic) and posts a semaphore, on which a thread of our own waits to signal the
// runs' cancel events at once.  The second interrupt leaves with _exit, which a handler may
// call.
#include "cli/console.h"

#include "cli/console_internal.h"
#include "cli/exit_status.h"

#include <semaphore.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

std::atomic<int> g_interrupts{0};
sem_t g_interrupted;

void OnInterrupt(int) {
    if (g_interrupts.fetch_add(1) + 1 >= 2) {
        _exit(kExitInterrupted);
    }
    sem_post(&g_interrupted);
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
    static const bool installed = [] {
        sem_init(&g_interrupted, 0, 0);
        std::thread([] {
            for (;;) {
                if (sem_wait(&g_interrupted) == 0) {
                    SignalInterruptEvents();
                }
            }
        }).detach();
        return true;
    }();
    (void)installed;
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
