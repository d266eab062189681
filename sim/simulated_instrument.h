// The simulated instrument: the boot loader's side of the serial conversation on a Linux
// pseudo-terminal, with a flash model of 0x420000..0x45FFFF, checks of everything the host
// sends, a report of what it saw, and faults to inject.  Used in-process by tests and
// benchmarks, and by the vyra-sim program for anything that opens a serial port by path.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

constexpr uint32_t kFlashBase = 0x420000;
constexpr uint32_t kFlashSize = 0x40000;

// How the instrument answers one request that a fault targets.
enum class Answer {
    Normal,       // a correct reply
    Silent,       // no reply at all
    BadChecksum,  // a complete reply whose checksum is wrong
};

struct Options {
    // Faults.  Indexes count from 1 within one programming session (from the SIF command).
    Answer identify = Answer::Normal;
    int identifyLength = 12;  // frame length of the identify reply (3, 4, 30, 31 for tests)
    int eraseFaultAt = 0;     // the k-th erase gets eraseFault (0: none)
    Answer eraseFault = Answer::Silent;
    int blockFaultAt = 0;  // the n-th write-block gets blockFault (0: none)
    Answer blockFault = Answer::Silent;
    bool staleBytes = false;  // send a few stray bytes just before each request arrives
    int closeAtBlock = 0;     // close the line when the n-th block arrives (0: never)
    bool pace = false;        // deliver and answer every byte at the line's real rate
    std::string reportPath;   // where the JSON report is written (empty: nowhere)
};

struct SessionReport {
    std::vector<std::string> phases;   // in order: "sif", "identify", "erase", "baud",
                                       // "blocks", "tst", "kickstart"
    std::vector<uint32_t> erased;      // sector addresses, in order
    uint32_t blocksWritten = 0;
    uint32_t lowestBlock = 0, highestBlockEnd = 0;  // address range the blocks covered
    bool completed = false;            // the TST command arrived after the blocks
};

struct Report {
    std::vector<SessionReport> sessions;  // one per SIF command (a kick-start counts alone)
    uint32_t kickStarts = 0;
    std::string flashDigest;               // SHA-256 of the flash model, lower-case hex
    std::vector<std::string> violations;   // every protocol violation seen, in words
    std::string ToJson() const;
};

class SimulatedInstrument {
public:
    explicit SimulatedInstrument(Options options = {});
    ~SimulatedInstrument();  // stops and writes the report
    SimulatedInstrument(const SimulatedInstrument&) = delete;
    SimulatedInstrument& operator=(const SimulatedInstrument&) = delete;

    // Creates the pseudo-terminal and starts answering on a thread of its own.
    bool Start();
    void Stop();
    // The path of the pty's host side ("/dev/pts/N"): what a host opens as its port.
    const std::string& PortPath() const;

    Report GetReport() const;
    // A copy of the flash model: kFlashSize bytes for 0x420000..0x45FFFF (erased = 0xFF).
    std::vector<uint8_t> Flash() const;
    // All bytes the host sent since the start (for exact-byte tests).
    std::vector<uint8_t> Received() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace sim
