// A pseudo-terminal pair for tests of serial code (Linux only): the code under test opens the
// slave by path as its port; the test plays the other end of the line on the master, either
// directly or through a PtyPeer that records what arrives and answers on cue.
#pragma once

#include <termios.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return m_master >= 0; }
    // The slave's path ("/dev/pts/N"): what the code under test opens.
    const char* SlavePath() const { return m_slavePath.c_str(); }
    int Master() const { return m_master; }

    // Writes all bytes to the master; false if the line took them not all.
    bool Send(const std::vector<uint8_t>& bytes);
    bool Send(const std::string& text);
    // Reads from the master until n bytes came or timeoutMs passed.
    std::vector<uint8_t> Receive(size_t n, int timeoutMs);
    // The settings the slave has now (a master's TCGETS reports its slave's).
    bool SlaveSettings(termios* settings) const;
    // The slave's output rate in bits per second, 0 when unknown.
    int SlaveBaudRate() const;
    // Hangs the line up: the slave side then sees end of file or EIO.
    void CloseMaster();

private:
    int m_master = -1;
    std::string m_slavePath;
};

// Waits until the terminal `fd` (a slave as the code under test opened it) holds at least n
// bytes to read, as after PtyPair::Send once they have crossed the line; false when timeoutMs
// passed first.
bool WaitInputQueued(int fd, size_t n, int timeoutMs);

// The other end of the line as a thread: records every byte from the slave side and sends
// scripted answers once given numbers of bytes have arrived.
class PtyPeer {
public:
    explicit PtyPeer(PtyPair& pty);
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    // Once `afterBytes` bytes have arrived in all, waits delayMs and sends `reply`.
    void AnswerAfter(size_t afterBytes, std::vector<uint8_t> reply, int delayMs = 0);
    // Every byte that has arrived so far.
    std::vector<uint8_t> Received() const;
    // Waits until at least n bytes have arrived; false when timeoutMs passed first.
    bool WaitReceived(size_t n, int timeoutMs) const;
    void Stop();

private:
    struct Answer {
        size_t afterBytes;
        std::vector<uint8_t> reply;
        int delayMs;
    };
    void Run();

    PtyPair& m_pty;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_arrived;
    std::vector<uint8_t> m_received;
    std::vector<Answer> m_answers;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Frames a loader reply: 0x2A, the length, the letter, the payload, the checksum.
std::vector<uint8_t> LoaderFrame(uint8_t letter, const std::vector<uint8_t>& payload);
