// The serial number of the instrument on a port, as an operator types or scans it from the
// unit's label: the one rule of what a serial may be, for every front end.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

constexpr size_t kMaxInstrumentSerialLength = 64;

// The serial as the records keep it: white space at both ends trimmed.  False with the reason
// when what is left is empty, longer than 64 characters, or holds anything but printable ASCII
// characters (a control character, a NUL, a byte above 0x7E).
bool CleanInstrumentSerial(const std::string& given, std::string* serial, std::string* why);

// The first serial of the list that an earlier entry has too (a label scanned twice), with the
// indexes of both; false when every serial is different.  Empty entries (no serial) are skipped.
bool SameSerialTwice(const std::vector<std::string>& serials, size_t* first, size_t* second);
