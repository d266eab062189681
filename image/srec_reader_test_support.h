// What the reader tests of both platforms expect of a path that is no file to read: refused
// at once, before a byte is read, with the message of a file that can't be opened.
#pragma once

#include "image/app_image.h"
#include "image/srec_reader.h"
#include "tests/support/message_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

inline void ExpectRefusedUnread(const std::string& path) {
    SCOPED_TRACE(path);
    MessageCapture messages;
    int32_t highest = -1;
    uint32_t end = 0xDEADBEEF;
    EXPECT_FALSE(ReadImageFile(path.c_str(), ImageBase, false, &highest, &end));
    EXPECT_EQ(end, 0xDEADBEEF);
    EXPECT_EQ(messages.Messages(),
              (std::vector<CapturedMessage>{{nullptr, "Can't Open File", "Error"}}));
}
