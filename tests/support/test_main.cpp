// The main of every unit test program: no test ever waits on a real message box.  A message
// that no MessageCapture takes is printed, so a test that forgot to expect it still shows it.
#include "framework/runtime.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    SetMessageHandler([](WindowHandle, const char* text, const char* caption) {
        std::fprintf(stderr, "[message box not captured] %s: %s\n", caption, text);
    });
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
