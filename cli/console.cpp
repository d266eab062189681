// What both consoles share: the cancel events that the first interrupt signals, under a lock
// that their removal takes too, so that an event is never signalled after it has gone.
#include "cli/console.h"

#include "cli/console_internal.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

std::mutex g_mutex;
std::vector<EventHandle> g_events;

}  // namespace

void AddInterruptEvent(EventHandle event) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events.push_back(event);
}

void RemoveInterruptEvent(EventHandle event) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events.erase(std::remove(g_events.begin(), g_events.end(), event), g_events.end());
}

void SignalInterruptEvents() {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (EventHandle event : g_events) {
        SignalCancelEvent(event);
    }
}
