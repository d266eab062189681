// The serial number rule.  Printable ASCII only: a label's serial is, and every text the
// records carry (JSON, CSV, the log) stays valid whatever a scanner sends.
#include "port_runs/instrument_serial.h"

bool CleanInstrumentSerial(const std::string& given, std::string* serial, std::string* why) {
    const char* const kSpace = " \t\r\n\v\f";
    const size_t first = given.find_first_not_of(kSpace);
    if (first == std::string::npos) {
        *why = "the serial number is empty";
        return false;
    }
    const size_t last = given.find_last_not_of(kSpace);
    std::string trimmed = given.substr(first, last - first + 1);
    if (trimmed.size() > kMaxInstrumentSerialLength) {
        *why = "the serial number is longer than " + std::to_string(kMaxInstrumentSerialLength) +
               " characters";
        return false;
    }
    for (const char c : trimmed) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E) {
            *why = "the serial number holds a character that is not printable ASCII";
            return false;
        }
    }
    *serial = std::move(trimmed);
    return true;
}

bool SameSerialTwice(const std::vector<std::string>& serials, size_t* first, size_t* second) {
    for (size_t j = 1; j < serials.size(); ++j) {
        for (size_t i = 0; i < j; ++i) {
            if (!serials[j].empty() && serials[i] == serials[j]) {
                *first = i;
                *second = j;
                return true;
            }
        }
    }
    return false;
}
