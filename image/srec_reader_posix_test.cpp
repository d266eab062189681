// The reader on POSIX: a read that fails after the open, a file that another program holds
// under its lock, and paths that are no regular file.
#include "image/srec_reader.h"

#include "image/app_image.h"
#include "image/srec_reader_test_support.h"
#include "tests/support/message_capture.h"
#include "tests/support/pty_pair.h"
#include "tests/support/srec_records.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

TEST(ReadImageFilePosixTest, ReadErrorAfterOpenFailsWithMessage) {
    MessageCapture messages;
    int32_t highest = -1;
    uint32_t end = 0xDEADBEEF;
    // A regular file that opens, but whose first read fails (EIO: address 0 is not mapped).
    EXPECT_FALSE(ReadImageFile("/proc/self/mem", ImageBase, false, &highest, &end));
    EXPECT_EQ(highest, 0);
    EXPECT_EQ(end, 0xDEADBEEF);
    EXPECT_EQ(messages.Messages(),
              (std::vector<CapturedMessage>{{nullptr, "Can't Read File", "Error"}}));
}

TEST(ReadImageFilePosixTest, AFileAnotherProgramWritesUnderItsLockIsNotOpened) {
    TempDir dir;
    const std::string path = dir.Write("APP.A37", MakeRecord('2', 0x420100, Bytes(16)) + "\n");
    const int other = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(other, 0);
    int32_t highest = -1;
    uint32_t end = 0;
    {
        MessageCapture messages;
        ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);  // a writer at work
        EXPECT_FALSE(ReadImageFile(path.c_str(), ImageBase, false, &highest, &end));
        EXPECT_EQ(messages.Messages(),
                  (std::vector<CapturedMessage>{{nullptr, "Can't Open File", "Error"}}));

        ASSERT_EQ(flock(other, LOCK_SH | LOCK_NB), 0);  // another reader shares the file
        EXPECT_TRUE(ReadImageFile(path.c_str(), ImageBase, false, &highest, &end));
        EXPECT_EQ(end, 0x42010Fu);
        EXPECT_EQ(messages.Messages().size(), 1u);
    }
    close(other);
}

// Refused before anything is read, and at once: a device would be read for ever, the open of
// a FIFO with no writer would wait for one, a folder or a serial port is no file at all.
TEST(ReadImageFilePosixTest, OnlyARegularFileIsRead) {
    TempDir dir;
    const std::string fifo = dir.File("PIPE.A37");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string link = dir.File("LINK.A37");
    ASSERT_EQ(symlink("/dev/zero", link.c_str()), 0);
    PtyPair line;
    ASSERT_TRUE(line.Ok());
    for (const std::string& path : {std::string("/dev/zero"), link, fifo, dir.Path().string(),
                                    std::string(line.SlavePath())}) {
        ExpectRefusedUnread(path);
    }

    // A link to a regular file is read as the file.
    const std::string file = dir.Write("APP.A37", MakeRecord('2', 0x420100, Bytes(16)) + "\n");
    const std::string toFile = dir.File("TOFILE.A37");
    ASSERT_EQ(symlink(file.c_str(), toFile.c_str()), 0);
    int32_t highest = -1;
    uint32_t end = 0;
    EXPECT_TRUE(ReadImageFile(toFile.c_str(), ImageBase, false, &highest, &end));
    EXPECT_EQ(end, 0x42010Fu);
}
