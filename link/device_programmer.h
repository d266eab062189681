// The two conversations with the instrument: programming an image through the boot loader,
// and the kick-start.
#pragma once

#include "framework/runtime.h"
#include "link/loader_link.h"

#include <cstdint>

// The block phase of a programming run: the blocks written, and the time they took from each
// request's first byte to its reply's last (the round trips; the reports between them are
// not counted).
struct BlockTiming {
    uint32_t blocks = 0;
    double seconds = 0.0;

    // The mean round trip of a block in ms; 0 when no block was written.
    double MeanMs() const { return blocks > 0 ? seconds * 1000.0 / blocks : 0.0; }
};

// The identify reply's bytes at offsets 3 to 10 as received: fewer when the reply was
// shorter, none when no loader answered.
struct IdentifyBytes {
    uint8_t bytes[8] = {};
    uint32_t count = 0;
};

// The rate of the block phase unless told otherwise, and the loader's rates a programmer may
// be told to use instead: a slower one for a line that loses bytes at full speed.
constexpr int32_t kDefaultBlockBaudRate = 115200;
constexpr int32_t kBlockBaudRates[] = {19200, 38400, 57600, 115200};

class CDeviceProgrammer {
public:
    CDeviceProgrammer() = default;
    virtual ~CDeviceProgrammer() = default;

    // Programs image[0 .. end - start) to the instrument at `start`, in 64-byte blocks.
    // Reports go to reportWindow as reportMessage; the cancel event is polled before each
    // block.  1 when the whole image was written and the closing commands sent, else 0.
    int ProgramDevice(const uint8_t* image, uint32_t start, uint32_t end, WindowHandle reportWindow,
                      unsigned reportMessage, EventHandle cancelEvent, const char* portName);

    // Sends the boot loader's kick-start at 19200 baud and tells the user it was sent.
    void KickStart(WindowHandle owner, const char* portName);

    // The rate both sides switch to for the blocks; false (and unchanged) for a rate that is
    // not one of kBlockBaudRates.
    bool SetBlockBaudRate(int32_t baudRate);
    int32_t BlockBaudRate() const { return m_blockBaudRate; }
    // What the last ProgramDevice saw: the identify reply's bytes, made from the two words
    // the sequence asked for (none when no loader answered), and the block phase's timing.
    IdentifyBytes LastIdentify() const;
    const BlockTiming& LastBlockTiming() const { return m_blockTiming; }

    CLoaderLink m_link;

private:
    int32_t m_blockBaudRate = kDefaultBlockBaudRate;
    BlockTiming m_blockTiming;
    uint32_t m_identifyWords[2] = {};
    uint32_t m_identifyCarried = 0;  // of the words' eight bytes, those the reply carried
};
