// CSerialPort on Windows: an exclusive overlapped handle whose every transfer is started and
// waited for at once, with its own event, so that each call blocks until the transfer is
// complete or its timeout has run out and no event is ever shared.
//
// The driver times reads: no interval timing, 2 ms per requested byte plus a constant.
#include "link/serial_port.h"

namespace {

constexpr DWORD kEventMask = EV_RXCHAR | EV_BREAK | EV_ERR;   // 0xC1
constexpr DWORD kPurgeFlags = PURGE_TXCLEAR | PURGE_RXCLEAR;  // 0x0C
constexpr DWORD kReadMultiplierMsPerByte = 2;
constexpr DWORD kWriteMultiplierMsPerByte = 1;
constexpr int32_t kOpenWriteTimeoutS = 1000;

// The event of one transfer: manual reset, created signalled (the transfer resets it), and
// closed on every way out of the transfer.  CreateEventA fails with null.
class TransferEvent {
public:
    TransferEvent() : m_event(CreateEventA(nullptr, TRUE, TRUE, nullptr)) {}
    ~TransferEvent() {
        if (m_event != nullptr) {
            CloseHandle(m_event);
        }
    }
    TransferEvent(const TransferEvent&) = delete;
    TransferEvent& operator=(const TransferEvent&) = delete;

    bool Valid() const { return m_event != nullptr; }
    HANDLE Get() const { return m_event; }

private:
    HANDLE m_event;
};

}  // namespace

CSerialPort::CSerialPort()
    : m_dcb{}, m_portName(nullptr), m_handle(INVALID_HANDLE_VALUE), m_baudRate(0) {}

bool CSerialPort::IsOpen() const {
    return m_handle != INVALID_HANDLE_VALUE;
}

int CSerialPort::Open(const char* portName, int32_t baudRate, int32_t readTimeoutMs) {
    if (IsOpen()) {
        Close();
    }
    m_handle = CreateFileA(portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (m_handle == INVALID_HANDLE_VALUE) {
        (void)GetLastError();  // no such port, or in use; the caller names the port
        return 0;
    }
    if (!SetCommMask(m_handle, kEventMask)) {
        return 0;  // held, unconfigured
    }
    m_portName = portName;
    m_baudRate = baudRate;

    m_dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(m_handle, &m_dcb)) {
        Close();
        return 0;
    }
    // Only the line settings change; flow control and the rest stay as the driver had them.
    m_dcb.fBinary = 1;
    m_dcb.BaudRate = static_cast<DWORD>(baudRate);
    m_dcb.ByteSize = 8;
    m_dcb.Parity = NOPARITY;
    m_dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(m_handle, &m_dcb)) {
        return 0;  // held, settings as GetCommState left them
    }

    SetReadTimeout(readTimeoutMs);
    SetWriteTimeout(kOpenWriteTimeoutS);
    PurgeComm(m_handle, kPurgeFlags);
    return 1;
}

void CSerialPort::Close() {
    if (IsOpen()) {
        FlushFileBuffers(m_handle);
        CloseHandle(m_handle);
    }
    m_handle = INVALID_HANDLE_VALUE;
}

int CSerialPort::SetBaudRate(int32_t baudRate) {
    if (!IsOpen()) {
        return 0;
    }
    FlushFileBuffers(m_handle);
    Sleep(kRateChangePauseMs);
    m_dcb.BaudRate = static_cast<DWORD>(baudRate);
    if (!SetCommState(m_handle, &m_dcb)) {
        return 0;
    }
    m_baudRate = baudRate;
    return 1;
}

int CSerialPort::SetReadTimeout(int32_t constantMs) {
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(m_handle, &timeouts)) {
        return 0;
    }
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = kReadMultiplierMsPerByte;
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(constantMs);
    return SetCommTimeouts(m_handle, &timeouts) ? 1 : 0;
}

int CSerialPort::SetWriteTimeout(int32_t seconds) {
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(m_handle, &timeouts)) {
        return 0;
    }
    timeouts.WriteTotalTimeoutMultiplier = kWriteMultiplierMsPerByte;
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(seconds) * 1000;
    return SetCommTimeouts(m_handle, &timeouts) ? 1 : 0;
}

int CSerialPort::Write(const uint8_t* bytes, int32_t count) {
    if (count == 0) {
        return 1;
    }
    if (count < 0) {
        return 0;
    }
    TransferEvent event;
    if (!event.Valid()) {
        return 0;
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.Get();
    DWORD written = 0;
    BOOL ok = WriteFile(m_handle, bytes, static_cast<DWORD>(count), &written, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        ok = GetOverlappedResult(m_handle, &overlapped, &written, TRUE);
    }
    return ok && written == static_cast<DWORD>(count) ? 1 : 0;
}

int CSerialPort::Read(uint8_t* buffer, int32_t count, uint32_t* bytesRead) {
    uint32_t dummy = 0;
    uint32_t& got = bytesRead != nullptr ? *bytesRead : dummy;
    got = 0;
    if (count <= 0) {
        return 1;
    }
    TransferEvent event;
    if (!event.Valid()) {
        return 1;
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.Get();
    DWORD arrived = 0;
    if (!ReadFile(m_handle, buffer, static_cast<DWORD>(count), &arrived, &overlapped)) {
        if (GetLastError() == ERROR_IO_PENDING) {
            // Whatever its result, the count tells what came before the time ran out.
            GetOverlappedResult(m_handle, &overlapped, &arrived, TRUE);
        } else {
            arrived = 0;
        }
    }
    got = arrived < static_cast<DWORD>(count) ? arrived : static_cast<DWORD>(count);
    return 1;
}

void CSerialPort::Purge() {
    DWORD errors = 0;
    ClearCommError(m_handle, &errors, nullptr);
    PurgeComm(m_handle, kPurgeFlags);
}
