// The signing call on 32-bit x86 Windows: through the thunk of sign_call_win32_x86.S.  The
// thunk keeps the caller's stack pointer in one static slot, so calls take turns.
#include "devtools/sign_library.h"

#include <mutex>

extern "C" int OrvaneSignCallThunk(SignAppFn signApp, uint8_t* image, uint32_t start, uint32_t end);

int CallSignApp(SignAppFn signApp, uint8_t* image, uint32_t start, uint32_t end) {
    static std::mutex one_at_a_time;
    std::lock_guard<std::mutex> hold(one_at_a_time);
    return OrvaneSignCallThunk(signApp, image, start, end);
}
