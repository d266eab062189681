// What velko-cli needs of the console: whether output goes to a terminal, and the terminal's
// control sequences and width.  console_posix.cpp and console_win32.cpp.
#pragma once

#include <cstdio>

// True when the stream is a terminal (a console window on Windows).
bool IsTerminal(std::FILE* stream);

// Lets the terminal take the cursor and line-clearing sequences of the progress display.
// False when it can't (an old Windows console): the display then writes plain lines.
bool EnableTerminalSequences(std::FILE* stream);

// Columns of the terminal, 80 when it does not say.
int TerminalColumns(std::FILE* stream);
