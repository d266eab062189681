// The flags of a load job: what it leaves out of or adds to a plain load.
#pragma once

#include <cstdint>

using LoadFlags = uint8_t;
constexpr LoadFlags LoadFlagNoDevice = 0x01;  // stop after the signature check
constexpr LoadFlags LoadFlagExport = 0x02;    // export the signed image as S-records
