// Signing libraries loaded and called through the interface as the program does: the stand-in
// KESP.DLL at the developers' fixed path (the test puts it there for its own duration, under
// wine inside the test prefix, and puts back whatever stood there before), and one that
// needs a second library lying beside it.  The calling conventions are tested end to end
// (tests/e2e/signing.sh).
#include "devtools/developer_locations.h"
#include "devtools/sign_library.h"
#include "tests/support/built_path.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kSavedPath = "C:\\DV\\H8S\\PC\\KESP\\DEBUG\\KESP.DLL.orvane-saved";

std::string BuiltLibraryPath() {
    return BuiltPath(KESP_LIBRARY_PATH);
}

// Signs an image that holds "abc" at offset 0x100 and ends right after it, through the
// program's call, and checks the block: the SHA-256 of "abc", then sixteen 0xA5.
void ExpectSignsAbc(SignAppFn signApp) {
    std::vector<uint8_t> image(0x40000, 0xFF);
    std::memcpy(&image[0x100], "abc", 3);
    CallSignApp(signApp, image.data(), 0x420000, 0x420103);
    const std::vector<uint8_t> digestOfAbc = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea,
                                              0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
                                              0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c,
                                              0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + 0x10, image.begin() + 0x30), digestOfAbc);
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + 0x30, image.begin() + 0x40),
              std::vector<uint8_t>(16, 0xA5));
}

// Places the built library at the fixed path, and removes it again afterwards.
class LibraryAtFixedPath {
public:
    LibraryAtFixedPath() {
        const std::string fixed(kSignLibraryPath);
        for (size_t at = fixed.find('\\', 3); at != std::string::npos;
             at = fixed.find('\\', at + 1)) {
            CreateDirectoryA(fixed.substr(0, at).c_str(), nullptr);
        }
        m_saved = MoveFileExA(kSignLibraryPath, kSavedPath, MOVEFILE_REPLACE_EXISTING) != 0;
        m_placed = CopyFileA(BuiltLibraryPath().c_str(), kSignLibraryPath, FALSE) != 0;
    }
    ~LibraryAtFixedPath() {
        DeleteFileA(kSignLibraryPath);
        if (m_saved) {
            MoveFileExA(kSavedPath, kSignLibraryPath, MOVEFILE_REPLACE_EXISTING);
        }
    }
    bool Placed() const { return m_placed; }

private:
    bool m_saved = false;
    bool m_placed = false;
};

TEST(SignLibraryWin32, StandInAtTheFixedPathSignsTheImage) {
    LibraryAtFixedPath placed;
    ASSERT_TRUE(placed.Placed()) << "copy of " << BuiltLibraryPath() << " failed, error "
                                 << GetLastError();

    LibraryHandle library = LoadSignLibrary(kSignLibraryPath);
    ASSERT_NE(library, nullptr) << "error " << GetLastError();
    SignAppFn signApp = FindSignEntry(library);
    ASSERT_NE(signApp, nullptr);

    ExpectSignsAbc(signApp);

    // The program never unloads it; the test does, so that the file can go again.
    FreeLibrary(static_cast<HMODULE>(library));
}

// Its own dependency lies beside it, in a folder that is neither the program's nor the
// current one: the load finds it there.
TEST(SignLibraryWin32, LibraryNeedingASecondOneBesideItLoadsAndSigns) {
    LibraryHandle library = LoadSignLibrary(BuiltPath(KESP_SPLIT_LIBRARY_PATH).c_str());
    ASSERT_NE(library, nullptr) << "error " << GetLastError();
    SignAppFn signApp = FindSignEntry(library);
    ASSERT_NE(signApp, nullptr);
    ExpectSignsAbc(signApp);
}

}  // namespace
