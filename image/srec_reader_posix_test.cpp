// The reader on POSIX: a read that fails after the open (a directory opens for reading here,
// but reading it fails).
#include "image/srec_reader.h"

#include "image/app_image.h"
#include "tests/support/message_capture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

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
