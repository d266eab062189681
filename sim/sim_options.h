// What a simulated instrument is told at its start: the flash area it models, and the faults
// it injects and how it paces the line.  The boot loader's model (loader_model.cpp) applies
// the answer faults, the garbling and the hang-up; the instrument (simulated_instrument.cpp)
// applies the pacing, the reply delay and the report file.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

constexpr uint32_t kFlashBase = 0x420000;
constexpr uint32_t kFlashSize = 0x40000;
constexpr uint32_t kSectorSize = 0x10000;
// A garbling line spoils one byte in this many of those received above its rate.
constexpr uint32_t kGarbleInterval = 200;

// How the instrument answers one request that a fault targets.
enum class Answer {
    Normal,       // a correct reply
    Silent,       // no reply at all
    BadChecksum,  // a complete reply whose checksum is wrong
};

struct Options {
    // Faults.  Indexes count from 1 within one programming session (from the SIF command).
    // A faulted erase or block is still carried out; only its answer is lost or spoiled.
    // The faults (identify, erase, block, garbling, hang-up) strike in the first
    // faultySessions programming sessions only (0: in every session); traffic before the
    // first SIF command counts as the first session.  Later sessions are healthy, so a retry
    // can succeed.
    int faultySessions = 0;
    Answer identify = Answer::Normal;  // applies to every identify request of those sessions
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
    int closeAtBlock = 0;  // close the line when the n-th block arrives (0: never); the
                           // block is not stored, the pty vanishes and the host's reads fail
    // A flaky cable: while the line runs faster than this rate (0: never), every 200th byte
    // received at such a rate has one bit flipped before the loader sees it.  A byte that
    // falls on a frame's start, length or command letter, or outside a frame, passes on the
    // flip to the next frame's payload, so the frame keeps its shape and only fails its
    // checksum: the loader does not answer it.
    uint32_t garbleAboveBaud = 0;
    // Every answer is held back this long before its first byte goes out, as by a USB
    // adapter's latency timer (16 ms by default on many); paced or not.  A property of the
    // line, not a fault: it applies in every session.
    int replyDelayMs = 0;
    bool pace = false;       // receive and answer every message at the line's real rate
    std::string reportPath;  // where the JSON report is written (empty: nowhere)
};

}  // namespace sim
