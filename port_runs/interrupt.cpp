// What both platforms share: the cancel events that the first interrupt signals, straight from
// the signal (or console control) handler, so that no wake-up of another thread stands
// between the key and the cancel.  The list is a fixed array of atomics, which a handler may
// read; a remover waits until no handler is going through the list, so an event is never
// signalled after it has gone.
#include "port_runs/interrupt.h"

#include "port_runs/interrupt_internal.h"

#include <array>
#include <atomic>
#include <thread>

namespace {

// More runs than this are still cancelled, by the program's own watch, a little later.
constexpr size_t kMaxInterruptEvents = 1024;
std::array<std::atomic<EventHandle>, kMaxInterruptEvents> g_events{};
std::atomic<int> g_signalling{0};  // handlers going through the list now

}  // namespace

void AddInterruptEvent(EventHandle event) {
    for (auto& slot : g_events) {
        EventHandle empty = nullptr;
        if (slot.compare_exchange_strong(empty, event)) {
            return;
        }
    }
}

void RemoveInterruptEvent(EventHandle event) {
    for (auto& slot : g_events) {
        EventHandle expected = event;
        slot.compare_exchange_strong(expected, nullptr);
    }
    // A handler that took the event before it was removed is done with it after this.
    while (g_signalling.load() != 0) {
        std::this_thread::yield();
    }
}

void SignalInterruptEvents() {
    g_signalling.fetch_add(1);
    for (auto& slot : g_events) {
        if (EventHandle event = slot.load()) {
            SignalCancelEvent(event);
        }
    }
    g_signalling.fetch_sub(1);
}
