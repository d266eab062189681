// --sign LIBRARY: the signing library a developer names on the command line.
#pragma once

#include "devtools/sign_library.h"

#include <string>

// Loads the library and finds its SignApp entry; an empty path means no signing (a null
// entry).  False, told on stderr, when the library can't be loaded or has no such entry.
bool LoadSignOption(const std::string& path, SignAppFn* entry);
