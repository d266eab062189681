// A program run as a child process for tests of whole programs (Linux only): its standard
// output and error are collected while it runs, it can be sent a signal, and its exit status
// is what the test looks at.  Optionally it runs on a pseudo-terminal, so that it sees a
// terminal on its standard output.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ChildProcess {
public:
    // Starts argv[0] (a path) with the arguments; with onTerminal, stdout and stderr go to a
    // pseudo-terminal (and `Err()` stays empty).
    explicit ChildProcess(std::vector<std::string> argv, bool onTerminal = false);
    // Kills the child if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void Signal(int signal) const;
    // Waits until the child ends (killing it after timeoutMs) and its output is all read.
    // Returns the exit status, 128 + the signal for a child a signal ended, -1 on time-out.
    int Wait(int timeoutMs = 120000);

    // Waits until the child's standard output holds `part` (true), or it has closed its output
    // or timeoutMs passed (false).
    bool WaitForOut(const std::string& part, int timeoutMs);
    // The same for its standard error.
    bool WaitForErr(const std::string& part, int timeoutMs);
    // What the child has written so far, while it runs.
    std::string OutSoFar() const;
    std::string ErrSoFar() const;

    // All of the output, once Wait has returned.
    const std::string& Out() const { return m_out; }
    const std::string& Err() const { return m_err; }

private:
    void Collect();

    pid_t m_pid = -1;
    int m_outFd = -1, m_errFd = -1;
    mutable std::mutex m_mutex;  // the output, while the reader adds to it
    std::condition_variable m_changed;
    bool m_collected = false;
    std::string m_out, m_err;
    std::thread m_reader;
    int m_status = -1;
    bool m_waited = false;
};

// Runs a program to its end: exit status, and its output.
struct ChildResult {
    int status;
    std::string out, err;
};
ChildResult RunChild(std::vector<std::string> argv, int timeoutMs = 120000);
