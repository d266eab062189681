// The simulated instrument: the boot loader's side of the serial conversation on a Linux
// pseudo-terminal, with a flash model of 0x420000..0x45FFFF, checks of everything the host
// sends, a report of what it saw, and faults to inject.  Used in-process by tests and
// benchmarks, and by the vyra-sim program for anything that opens a serial port by path.
//
// What it checks: the line rate of every message (read from the pty's settings when its bytes
// arrive: the SIF command at 4800, the kick-start at 19200, everything else at the loader's
// rate, 19200 until a 'B' request moves it), frame lengths and checksums, erase before write,
// block addresses (inside the flash, 64-byte aligned) and word counts.  A mismatch is recorded
// as a violation in words; the conversation goes on.  A frame with a wrong checksum gets no
// reply, as from a real loader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

constexpr uint32_t kFlashBase = 0x420000;
constexpr uint32_t kFlashSize = 0x40000;
constexpr uint32_t kSectorSize = 0x10000;

// How the instrument answers one request that a fault targets.
enum class Answer {
    Normal,       // a correct reply
    Silent,       // no reply at all
    BadChecksum,  // a complete reply whose checksum is wrong
};

struct Options {
    // Faults.  Indexes count from 1 within one programming session (from the SIF command).
    // A faulted erase or block is still carried out; only its answer is lost or spoiled.
    Answer identify = Answer::Normal;  // applies to every identify request
    // Frame length of the identify reply.  4..255: a frame whose length byte is this value
    // and whose checksum is right.  3: the bytes 2A 03 49.  0..2: only that many leading
    // bytes (2A, 03 -> 2A 02), 0 being silence.
    int identifyLength = 12;
    int eraseFaultAt = 0;  // the k-th erase gets eraseFault (0: none)
    Answer eraseFault = Answer::Silent;
    int blockFaultAt = 0;  // the n-th write-block gets blockFault (0: none)
    Answer blockFault = Answer::Silent;
    // Stray bytes that the host's purge before its next request must throw away.  They go out
    // unpaced, at once, so that they are in the host's input queue before it purges:
    //  - behind every identify, erase and write-block reply (the host reads exactly the reply);
    //  - right after a 'B' request (the host waits 50 ms before it sends the first block);
    //  - after the SIF command, 300 + 8 bytes, and after the first ETX run of a session,
    //    500 + 8 bytes: the host's drains take 300 and 500 bytes and return, so 8 bytes stay
    //    for the purge of the reopen and of the identify to discard.
    bool staleBytes = false;
    int closeAtBlock = 0;    // close the line when the n-th block arrives (0: never); the
                             // block is not stored, the pty vanishes and the host's reads fail
    bool pace = false;       // deliver and answer every byte at the line's real rate
    std::string reportPath;  // where the JSON report is written (empty: nowhere)
};

struct SessionReport {
    std::vector<std::string> phases;  // in order, repeats merged: "sif", "identify", "erase",
                                      // "baud", "blocks", "tst", "kickstart"
    std::vector<uint32_t> erased;     // sector addresses, in order
    uint32_t blocksWritten = 0;
    uint32_t lowestBlock = 0, highestBlockEnd = 0;  // address range the blocks covered
    // The TST command arrived after identify, the erase of all four sectors and the 'B'
    // request (with any number of blocks, none included, in between).
    bool completed = false;
    uint32_t etxRuns = 0;  // runs of seven 0x03
    std::string fault;     // the injected fault that ended the session, in words ("": none)
};

struct Report {
    std::vector<SessionReport> sessions;  // one per SIF command (a kick-start counts alone);
                                          // traffic before any SIF opens a session of its own
    uint32_t kickStarts = 0;
    bool lineClosed = false;              // closeAtBlock struck
    std::string flashDigest;              // SHA-256 of the flash model, lower-case hex
    std::vector<std::string> violations;  // every protocol violation seen, in words
    std::string ToJson() const;
};

// The SHA-256 (lower-case hex) that the flash model has when it holds `count` bytes from
// 0x420000 on and 0xFF above them (count is clipped to kFlashSize): what it holds after all
// four sectors were erased and blocks wrote exactly these bytes.  With count = kFlashSize it
// is the plain SHA-256 of the bytes.
std::string FlashDigestOf(const uint8_t* bytes, size_t count);

// The byte that the flash model holds at an offset before anything is erased: a recognisable
// "old application" (the text "OLD APPLICATION " over and over), never 0xFF.
uint8_t OldFlashByte(uint32_t offset);

class SimulatedInstrument {
public:
    explicit SimulatedInstrument(Options options = {});
    ~SimulatedInstrument();  // stops and writes the report
    SimulatedInstrument(const SimulatedInstrument&) = delete;
    SimulatedInstrument& operator=(const SimulatedInstrument&) = delete;

    // Creates the pseudo-terminal and starts answering on a thread of its own.
    bool Start();
    // Stops the thread, closes the pty and writes the report.  Safe to call twice.
    void Stop();
    // The path of the pty's host side ("/dev/pts/N"): what a host opens as its port.
    const std::string& PortPath() const;

    Report GetReport() const;
    // A copy of the flash model: kFlashSize bytes for 0x420000..0x45FFFF (erased = 0xFF).
    std::vector<uint8_t> Flash() const;
    // All bytes the host sent since the start (for exact-byte tests).
    std::vector<uint8_t> Received() const;

    // Waits until everything the host sent has been read and handled, every reply has gone
    // out, and that has held for 20 ms.  False when timeoutMs ran out first.  Handy after a
    // plain send (a kick-start) before looking at the report.
    bool WaitIdle(int timeoutMs) const;
    // Waits until `done` holds for the current report (checked after each handled message).
    bool WaitFor(const std::function<bool(const Report&)>& done, int timeoutMs) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace sim
