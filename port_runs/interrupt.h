// Ctrl-C (and on POSIX SIGTERM and a hang-up) for a program that runs ports: the first one is
// counted and signals every registered run's cancel event straight from the handler, so that
// each run stops before its next block; a second one ends the program at once with status
// 130.  interrupt_posix.cpp and interrupt_win32.cpp install the handler; interrupt.cpp holds
// the list of cancel events both share.
#pragma once

#include "framework/runtime.h"

// From now on the interrupts no longer end the program: they are counted, and the program
// stops its runs in order.  Writes to a closed pipe or socket no longer end it either.
void InstallInterruptHandler();
// How many interrupts came since the handler was installed.
int InterruptCount();
// Waits until an interrupt has come or `timeoutMs` have passed; true when one has come.
bool WaitForInterrupt(int timeoutMs);

// Cancel events that the first interrupt signals at once, from the handler itself: a pause
// between the key and the cancel would let more blocks go out.  An event is signalled at most
// once; it must stay valid until it is removed.
void AddInterruptEvent(EventHandle event);
void RemoveInterruptEvent(EventHandle event);
