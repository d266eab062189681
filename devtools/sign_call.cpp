// The signing call where the platform has one calling convention (x86-64, Linux): a plain
// call.
#include "devtools/sign_library.h"

int CallSignApp(SignAppFn signApp, uint8_t* image, uint32_t start, uint32_t end) {
    return signApp(image, start, end);
}
