// The program's files on Windows, opened with no sharing.
#include "framework/regular_file.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdio.h>

std::FILE* OpenFileUnshared(const char* path, const char* mode) {
    return _fsopen(path, mode, _SH_DENYRW);
}

// Opened with no sharing, as _fsopen with _SH_DENYRW does, and asked what it is before a byte
// is read: a device name (COM1, NUL, CON, also "COM1.A37" on older systems) or a pipe opens
// as well as a file does, and reading it never ends or waits for ever.
std::FILE* OpenRegularFileToRead(const char* path) {
    if (path == nullptr) {
        return nullptr;
    }
    HANDLE handle =
        CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "rb");
    if (file == nullptr) {
        _close(fd);  // closes the handle too
    }
    return file;
}

bool RemoveRegularFile(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return false;
    }
    return DeleteFileA(path) != 0;
}
