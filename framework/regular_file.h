// The program's files: opened for this program alone while they are open, and read only when
// they are regular files.  Whatever the program reads to its end (an application file, a port
// list, a token file, the page's files) must have an end: a folder, a FIFO, a device such as
// /dev/zero or a serial port, on Windows COM1 or NUL, is refused at once, before a byte is
// read.  regular_file_posix.cpp and regular_file_win32.cpp hold each platform's checks.
#pragma once

#include <cstdio>
#include <string>

// Opens a file in binary mode (fopen's mode letters) for this program alone while it is
// open: on Windows no other program may open it; on Linux an advisory lock (shared to read,
// exclusive to write) keeps other programs that lock from writing it while it is read and
// from using it while it is written.  Null when it can't be opened, also when another
// program holds it.
std::FILE* OpenFileUnshared(const char* path, const char* mode);
// Opens a regular file to read (binary), unshared as OpenFileUnshared(path, "rb") does; null,
// at once and without blocking, for anything else: a folder, a FIFO, a device such as
// /dev/zero or a serial port, on Windows COM1 or NUL.  What a file is read from must have an
// end.
std::FILE* OpenRegularFileToRead(const char* path);
// The whole of a regular file, opened as OpenRegularFileToRead does; false for anything else
// or when it can't be read.
bool ReadRegularFile(const char* path, std::string* text);
// Removes the file at the path if it is a regular file (never a folder or a device); false
// when nothing was removed.
bool RemoveRegularFile(const char* path);
