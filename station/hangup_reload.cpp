// The SIGHUP watcher.  Stop wakes it with a SIGHUP of its own, sent to its thread alone.
#include "station/hangup_reload.h"

#include <signal.h>

void CHangupReload::Block() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void CHangupReload::Start(std::function<void()> reload) {
    m_thread = std::thread([this, reload = std::move(reload)] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGHUP);
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) {
                continue;
            }
            if (m_stopping.load()) {
                return;
            }
            reload();
        }
    });
}

void CHangupReload::Stop() {
    if (!m_thread.joinable()) {
        return;
    }
    m_stopping = true;
    pthread_kill(m_thread.native_handle(), SIGHUP);
    m_thread.join();
}
