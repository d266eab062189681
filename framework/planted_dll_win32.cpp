// A library for the library search test to plant in the current folder, under a name that
// nothing else carries.  Loading it is all it is for.
#include <windows.h>

extern "C" __declspec(dllexport) int OrvanePlanted() {
    return 1;
}
