// What the platform's console file calls in the shared one (console.cpp).
#pragma once

// Signals every cancel event added with AddInterruptEvent.  Takes a lock: never call it from
// a signal handler.
void SignalInterruptEvents();
