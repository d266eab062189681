// What the platform's interrupt handler calls in the shared file (interrupt.cpp).
#pragma once

// Signals every cancel event added with AddInterruptEvent.  Safe in a signal handler: it
// touches only atomics, and a POSIX cancel event is one.
void SignalInterruptEvents();
