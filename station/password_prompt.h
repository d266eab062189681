// The password of `velko-station hash-password`, read from standard input: on a terminal asked
// for (on stderr) twice without echo; from a pipe, its first line, so that scripts and tests
// can give it.
#pragma once

#include <string>

// False with the reason when nothing was read, the two entries differ or the password is
// empty.
bool ReadPassword(std::string* password, std::string* error);
