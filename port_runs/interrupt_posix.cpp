// Interrupts on POSIX: SIGINT, SIGTERM and SIGHUP.  A handler may do little: it counts (an
// atomic), signals the runs' cancel events (atomic flags) and writes one byte to a pipe that
// WaitForInterrupt watches; the program tells the user afterwards.  The second interrupt
// leaves with _exit, which a handler may call.
#include "port_runs/interrupt.h"

#include "port_runs/exit_status.h"
#include "port_runs/interrupt_internal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<int> g_interrupts{0};
int g_wakePipe[2] = {-1, -1};

void OnInterrupt(int) {
    if (g_interrupts.fetch_add(1) + 1 >= 2) {
        _exit(kExitInterrupted);
    }
    SignalInterruptEvents();
    if (g_wakePipe[1] >= 0) {
        const int saved = errno;
        const char byte = 1;
        [[maybe_unused]] ssize_t ignored = write(g_wakePipe[1], &byte, 1);
        errno = saved;
    }
}

}  // namespace

void InstallInterruptHandler() {
    if (g_wakePipe[0] < 0 && pipe2(g_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_wakePipe[0] = g_wakePipe[1] = -1;  // WaitForInterrupt then only times out
    }
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    // A reader of our output that goes away (`velko-cli ... | head`, a page closed in the
    // middle of a response) must not end a run that is writing to an instrument: the writes
    // fail instead.
    signal(SIGPIPE, SIG_IGN);
}

int InterruptCount() {
    return g_interrupts.load();
}

bool WaitForInterrupt(int timeoutMs) {
    if (InterruptCount() > 0) {
        return true;
    }
    if (g_wakePipe[0] < 0) {
        poll(nullptr, 0, timeoutMs);
        return InterruptCount() > 0;
    }
    pollfd p{g_wakePipe[0], POLLIN, 0};
    while (poll(&p, 1, timeoutMs) < 0 && errno == EINTR) {
        if (InterruptCount() > 0) {
            return true;
        }
    }
    return InterruptCount() > 0;
}
