// The program's files: only a regular file is removed.
#include "framework/regular_file.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

TEST(Files, OnlyARegularFileIsRemoved) {
    TempDir dir;
    const std::string file = dir.Write("partial.a37", "S2");
    const std::string folder = dir.File("folder");
    std::filesystem::create_directory(folder);
    EXPECT_TRUE(RemoveRegularFile(file.c_str()));
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_FALSE(RemoveRegularFile(file.c_str()));
    EXPECT_FALSE(RemoveRegularFile(folder.c_str()));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}
