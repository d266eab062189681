// Child processes for tests: fork and exec with pipes (or a pseudo-terminal) for the output,
// read by a thread of their own so that a child never blocks on a full pipe.
#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

ChildProcess::ChildProcess(std::vector<std::string> argv, bool onTerminal) {
    std::vector<char*> args;
    for (std::string& arg : argv) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);

    int out[2] = {-1, -1}, err[2] = {-1, -1};
    int terminal = -1;
    if (onTerminal) {
        winsize size{};
        size.ws_row = 40;
        size.ws_col = 120;
        int slave = -1;
        if (openpty(&terminal, &slave, nullptr, nullptr, &size) != 0) {
            return;
        }
        out[0] = terminal;
        out[1] = slave;
    } else if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return;
    }
    m_pid = fork();
    if (m_pid == 0) {
        setpgid(0, 0);  // a signal for the test's own group never reaches the child
        dup2(out[1], STDOUT_FILENO);
        dup2(onTerminal ? out[1] : err[1], STDERR_FILENO);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    if (!onTerminal) {
        close(err[1]);
    }
    m_outFd = out[0];
    m_errFd = onTerminal ? -1 : err[0];
    m_reader = std::thread([this] { Collect(); });
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0 && !m_waited) {
        kill(m_pid, SIGKILL);
        Wait(10000);
    }
    if (m_reader.joinable()) {
        m_reader.join();
    }
}

void ChildProcess::Collect() {
    char buffer[4096];
    std::vector<pollfd> fds;
    for (int fd : {m_outFd, m_errFd}) {
        if (fd >= 0) {
            fds.push_back({fd, POLLIN, 0});
        }
    }
    size_t open = fds.size();
    while (open > 0) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            break;
        }
        for (pollfd& p : fds) {
            if (p.fd < 0 || p.revents == 0) {
                continue;
            }
            const ssize_t n = read(p.fd, buffer, sizeof buffer);
            if (n > 0) {
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    (p.fd == m_outFd ? m_out : m_err).append(buffer, static_cast<size_t>(n));
                }
                m_changed.notify_all();
            } else {
                close(p.fd);  // end of file, or EIO once a terminal's last writer is gone
                p.fd = -1;
                --open;
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_collected = true;
    }
    m_changed.notify_all();
}

bool ChildProcess::WaitForOut(const std::string& part, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return m_collected || m_out.find(part) != std::string::npos;
    });
    return m_out.find(part) != std::string::npos;
}

bool ChildProcess::WaitForErr(const std::string& part, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return m_collected || m_err.find(part) != std::string::npos; });
    return m_err.find(part) != std::string::npos;
}

std::string ChildProcess::OutSoFar() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_out;
}

std::string ChildProcess::ErrSoFar() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_err;
}

void ChildProcess::Signal(int signal) const {
    if (m_pid > 0) {
        kill(m_pid, signal);
    }
}

int ChildProcess::Wait(int timeoutMs) {
    if (m_pid <= 0) {
        return -1;
    }
    if (!m_waited) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (waitpid(m_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
                m_status = -1;
                m_waited = true;
                break;
            }
            usleep(5000);
        }
        if (!m_waited) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            m_waited = true;
        }
    }
    if (m_reader.joinable()) {
        m_reader.join();
    }
    return m_status;
}

ChildResult RunChild(std::vector<std::string> argv, int timeoutMs) {
    ChildProcess child(std::move(argv));
    const int status = child.Wait(timeoutMs);
    return {status, child.Out(), child.Err()};
}
