// The password prompt, with termios: echo off while the line is typed, put back after.
#include "station/password_prompt.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace {

// A line of standard input without its line end; false at its end.
bool ReadLine(std::string* line) {
    if (!std::getline(std::cin, *line)) {
        return false;
    }
    if (!line->empty() && line->back() == '\r') {
        line->pop_back();
    }
    return true;
}

// Asks on stderr, reads a line with the terminal's echo off.
bool AskQuietly(const char* prompt, std::string* line) {
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    termios before{};
    const bool terminal = tcgetattr(STDIN_FILENO, &before) == 0;
    if (terminal) {
        termios quiet = before;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool read = ReadLine(line);
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &before);
    }
    std::fputc('\n', stderr);
    return read;
}

}  // namespace

bool ReadPassword(std::string* password, std::string* error) {
    if (isatty(STDIN_FILENO)) {
        std::string again;
        if (!AskQuietly("Password: ", password) || !AskQuietly("Again: ", &again)) {
            *error = "no password was typed";
            return false;
        }
        if (again != *password) {
            *error = "the two passwords differ";
            return false;
        }
    } else if (!ReadLine(password)) {
        *error = "no password on standard input";
        return false;
    }
    if (password->empty()) {
        *error = "the password is empty";
        return false;
    }
    return true;
}
