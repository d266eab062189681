// The program's files on Linux, held under an advisory lock while they are open.
#include "framework/regular_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// An advisory lock keeps other programs that lock (every program built on this seam among
// them) from writing a file while it is read, and from any use of it while it is written: a
// read takes a shared lock, a write an exclusive one, and a file locked against us fails to
// open.  A writing open truncates only once it holds its lock, so it never cuts a file that
// somebody else is reading.
namespace {

// Takes the lock (shared or exclusive) on an open descriptor, cuts a regular file to nothing
// when asked, and wraps the descriptor in a stream; null, with the descriptor closed, on any
// failure.
std::FILE* LockedStream(int fd, int lock, bool truncate, const char* mode) {
    // A file system that can't lock (EOPNOTSUPP, ENOLCK) opens the file unlocked as before;
    // only a lock that somebody else holds refuses it.
    if (flock(fd, lock | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd);
        return nullptr;
    }
    // Only a regular file has a length to cut; a device (/dev/null) keeps the open's rules.
    struct stat st;
    if (truncate && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    std::FILE* file = fdopen(fd, mode);  // "w" here does not truncate again
    if (file == nullptr) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return file;  // fclose closes the descriptor, which drops the lock
}

}  // namespace

std::FILE* OpenFileUnshared(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr) {
        return nullptr;
    }
    const bool update = std::strchr(mode, '+') != nullptr;
    int flags = O_CLOEXEC;
    bool truncate = false;
    switch (mode[0]) {
        case 'r':
            flags |= update ? O_RDWR : O_RDONLY;
            break;
        case 'w':
            flags |= (update ? O_RDWR : O_WRONLY) | O_CREAT;
            truncate = true;
            break;
        case 'a':
            flags |= (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
            break;
        default:
            errno = EINVAL;
            return nullptr;
    }
    // Never waits in the open: a FIFO with nobody at its other end fails at once (ENXIO)
    // instead of holding the program; the descriptor blocks as usual afterwards.
    const int fd = open(path, flags | O_NONBLOCK | O_NOCTTY, 0666);
    if (fd < 0) {
        return nullptr;
    }
    const int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    const int lock = (flags & O_ACCMODE) == O_RDONLY ? LOCK_SH : LOCK_EX;
    return LockedStream(fd, lock, truncate, mode);
}

// Looked at before the open, so that a device is never opened (an open raises a serial port's
// modem lines; a FIFO's waits for a writer), and again on the descriptor, in case the path
// was changed in between: O_NONBLOCK keeps whatever is put there from holding up the open.
std::FILE* OpenRegularFileToRead(const char* path) {
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0) {
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return nullptr;
    }
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    return LockedStream(fd, LOCK_SH, false, "rb");
}

bool RemoveRegularFile(const char* path) {
    struct stat status {};
    return stat(path, &status) == 0 && S_ISREG(status.st_mode) && unlink(path) == 0;
}
