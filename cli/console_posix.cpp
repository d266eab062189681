// The console on POSIX: isatty and TIOCGWINSZ.
#include "cli/console.h"

#include <sys/ioctl.h>
#include <unistd.h>

bool IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) == 1;
}

bool EnableTerminalSequences(std::FILE*) {
    return true;
}

int TerminalColumns(std::FILE* stream) {
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}
