// The library search at start-up: a library planted in the current folder is loaded by its
// bare name as long as the search is not restricted, and no longer once it is.  A program of
// its own, since the restriction holds for the rest of the process.
#include "framework/runtime.h"
#include "tests/support/built_path.h"
#include "tests/support/temp_dir.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LibrarySearch, CurrentFolderIsSearchedUntilTheSearchIsRestricted) {
    TempDir dir;
    // Two names, so that the second load can't find the first library still in memory.
    for (const char* name : {"ORVPLANT.DLL", "ORVPLNT2.DLL"}) {
        ASSERT_TRUE(CopyFileA(BuiltPath(PLANTED_DLL_PATH).c_str(), dir.File(name).c_str(), FALSE))
            << "error " << GetLastError();
    }
    char previous[MAX_PATH + 1] = {};
    GetCurrentDirectoryA(sizeof previous, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(dir.Path().string().c_str()));

    HMODULE before = LoadLibraryA("ORVPLANT.DLL");
    EXPECT_NE(before, nullptr) << "the current folder is not searched even without the call";
    RestrictLibrarySearch();
    HMODULE after = LoadLibraryA("ORVPLNT2.DLL");
    EXPECT_EQ(after, nullptr) << "a library in the current folder was loaded";
    // A library named by a path still loads, from anywhere, a relative path too.
    auto byPath = static_cast<HMODULE>(LoadLibraryAt(".\\ORVPLNT2.DLL"));
    EXPECT_NE(byPath, nullptr);

    for (HMODULE module : {before, after, byPath}) {
        if (module != nullptr) {
            FreeLibrary(module);
        }
    }
    SetCurrentDirectoryA(previous);
}

}  // namespace
