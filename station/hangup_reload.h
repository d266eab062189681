// SIGHUP as the word to read the operators file again, without stopping the bench.  The signal
// is blocked in every thread (Block, before the first thread starts) and taken by one thread
// of its own with sigwait(), so that the reload runs as ordinary code, never in a handler.
#pragma once

#include <pthread.h>
#include <atomic>
#include <functional>
#include <thread>

class CHangupReload {
public:
    // Blocks SIGHUP in the calling thread and in every thread it starts from now on.
    static void Block();

    // Calls `reload` on the watcher's thread at each SIGHUP until Stop.
    void Start(std::function<void()> reload);
    void Stop();
    ~CHangupReload() { Stop(); }

private:
    std::thread m_thread;
    std::atomic<bool> m_stopping{false};  // set before the thread is woken for the last time
};
