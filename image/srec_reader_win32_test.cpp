// The reader on Windows: device names (NUL, COM1) and pipes open as a file does there, and
// reading them would never end or would wait for ever; they are refused before any read.
#include "image/srec_reader.h"

#include "image/srec_reader_test_support.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

TEST(ReadImageFileWin32Test, OnlyADiskFileIsRead) {
    TempDir dir;
    const std::string pipeName =
        "\\\\.\\pipe\\orvane-reader-test-" + std::to_string(GetCurrentProcessId());
    HANDLE pipe = CreateNamedPipeA(pipeName.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096,
                                   4096, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    for (const std::string& path :
         {std::string("NUL"), std::string("COM1"), pipeName, dir.Path().string()}) {
        ExpectRefusedUnread(path);
    }
    CloseHandle(pipe);
}
