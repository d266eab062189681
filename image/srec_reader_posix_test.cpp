// The reader on POSIX: a read that fails after the open (a directory opens for reading here,
// but reading it fails), and a file that another program holds under its lock.
#include "image/srec_reader.h"

#include "image/app_image.h"
#include "tests/support/message_capture.h"
#include "tests/support/srec_records.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

TEST(ReadImageFilePosixTest, ReadErrorAfterOpenFailsWithMessage) {
    TempDir dir;
    MessageCapture messages;
    int32_t highest = -1;
    uint32_t end = 0xDEADBEEF;
    EXPECT_FALSE(ReadImageFile(dir.Path().c_str(), ImageBase, false, &highest, &end));
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
