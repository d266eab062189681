// What the platform's console file calls in the shared one (console.cpp).
#pragma once

// Signals every cancel event added with AddInterruptEvent.  Safe in a signal handler: it
// touches only atomics, and a POSIX cancel event is one.
void SignalInterruptEvents();
