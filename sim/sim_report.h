// What the simulated instrument saw, as a report: the sessions with their phases, erases and
// blocks, the kick-starts, the flash digest and every protocol violation; and the report as a
// file, written whole to a temporary file beside the target and renamed over it, so a reader
// never sees half a report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct SessionReport {
    std::vector<std::string> phases;  // in order, repeats merged: "sif", "identify", "erase",
                                      // "baud", "blocks", "tst", "kickstart"
    std::vector<uint32_t> erased;     // sector addresses, in order
    uint32_t blocksWritten = 0;
    uint32_t lowestBlock = 0, highestBlockEnd = 0;  // address range the blocks covered
    // The loader's rate when the session's first write-block request came, the rate its
    // blocks were checked at (0: no block came).
    uint32_t blockBaud = 0;
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

// True when the file now holds report.ToJson().
bool WriteReportFile(const std::string& path, const Report& report);

}  // namespace sim
