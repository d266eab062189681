// What velko-cli needs of the console: whether output goes to a terminal, the terminal's
// control sequences and width, and Ctrl-C.  console_posix.cpp and console_win32.cpp.
#pragma once

#include "framework/runtime.h"

#include <cstdio>

// True when the stream is a terminal (a console window on Windows).
bool IsTerminal(std::FILE* stream);

// Lets the terminal take the cursor and line-clearing sequences of the progress display.
// False when it can't (an old Windows console): the display then writes plain lines.
bool EnableTerminalSequences(std::FILE* stream);

// Columns of the terminal, 80 when it does not say.
int TerminalColumns(std::FILE* stream);

// From now on Ctrl-C (and on POSIX a hang-up or SIGTERM) no longer ends the program: it is
// counted, and the program stops its runs in order.  A second one ends the program at once
// with status 130.  Writes to a closed pipe no longer end it either.
void InstallInterruptHandler();
// How many interrupts came since the handler was installed.
int InterruptCount();

// Cancel events that the first interrupt signals at once, from the handler itself: a pause
// between the key and the cancel would let more blocks go out.  An event is signalled at most
// once; it must stay valid until it is removed.
void AddInterruptEvent(EventHandle event);
void RemoveInterruptEvent(EventHandle event);
