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

#include "sim/sim_options.h"
#include "sim/sim_report.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

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
