// One serial port of the host: exclusive open by name, 8N1 at a given rate, timed reads and
// writes, purge, rate change.  One public API; serial_port_win32.cpp and
// serial_port_posix.cpp implement it, and only the fields below differ by platform.  The
// fuzz build (ORVANE_SERIAL_PORT_FUZZ, set by CMake) implements it in serial_port_fuzz.cpp
// over the fuzzer's bytes instead of a device.
//
// A read of n bytes returns as soon as n bytes are there, or after 2 * n + the read-timeout
// constant in ms with what has arrived: fewer bytes than asked means the time ran out.
#pragma once

#include <cstdint>

// A rate change waits for the output to leave the line, then pauses this long before the
// port switches: the instrument's loader needs the time to switch its own side.
constexpr unsigned kRateChangePauseMs = 50;

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <termios.h>
#endif

class CSerialPort {
public:
    CSerialPort();

    // 1 when the port is open and configured, else 0.  A held port is closed first.
    int Open(const char* portName, int32_t baudRate, int32_t readTimeoutMs);
    void Close();
    int SetBaudRate(int32_t baudRate);
    int SetReadTimeout(int32_t constantMs);
    int SetWriteTimeout(int32_t seconds);
    // 1 when every byte was written.
    int Write(const uint8_t* bytes, int32_t count);
    // Always 1; *bytesRead tells how many arrived.
    int Read(uint8_t* buffer, int32_t count, uint32_t* bytesRead);
    // Clears line errors and discards unsent output and unread input.
    void Purge();

    bool IsOpen() const;
    int32_t BaudRate() const { return m_baudRate; }
    const char* PortName() const { return m_portName; }

#if defined(ORVANE_SERIAL_PORT_FUZZ)
private:
    const char* m_portName;
    bool m_open;
    int32_t m_baudRate;
    int32_t m_readTimeoutMs;  // constant part of the read timeout, recorded with each write
#elif defined(_WIN32)
    // The held handle (INVALID_HANDLE_VALUE when none), for tests that read settings back.
    HANDLE NativeHandle() const {
        return m_handle;
    }

private:
    DCB m_dcb;
    const char* m_portName;
    HANDLE m_handle;
    int32_t m_baudRate;
#else
    // The held descriptor (-1 when none), for tests that read settings back.
    int NativeHandle() const {
        return m_handle;
    }

private:
    termios m_settings;  // as read at open, with the line settings applied
    const char* m_portName;
    int m_handle;  // file descriptor, -1 when no port is held
    int32_t m_baudRate;
    int32_t m_readTimeoutMs;   // constant part of the read timeout
    int32_t m_writeTimeoutMs;  // constant part of the write timeout
    bool m_lowLatencySet;      // the open turned the driver's low-latency flag on
#endif
};
