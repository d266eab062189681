// The two conversations with the instrument: programming an image through the boot loader,
// and the kick-start.
#pragma once

#include "framework/runtime.h"
#include "link/loader_link.h"

#include <cstdint>

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

    CLoaderLink m_link;
};
