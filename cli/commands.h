// The commands of velko-cli.  Each returns the program's exit status (exit_status.h) and
// tells the user everything itself; velko_cli_main.cpp parses the command line into these.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ProgramOptions {
    std::string file;
    std::vector<std::string> ports;
    std::string portsFrom;  // a file with one port name a line
    std::vector<std::string> instruments;  // the serial number of each port's unit, in order
    std::string signLibrary;
    std::string trace;
    int32_t blockRate = 115200;  // one of the loader's block rates
    int retries = 0;             // more attempts for a port whose run failed
    bool json = false;
    bool noProgress = false;
};

// Reloads every port with the file: read, stamp, sign and check once, then all ports at once.
int RunProgram(const ProgramOptions& options);
// The boot loader's kick-start on one port.
int RunKick(const std::string& port);
// The serial ports that exist.
int RunPorts(bool json);
// What a load would make of the file, and what the reader dropped.
int RunInfo(const std::string& file, bool json);
// The stamped (and, with a library, signed) image as S2 records.
int RunExport(const std::string& file, const std::string& output, const std::string& signLibrary);
// The C array generator with a base address.
int RunCArray(const std::string& file, uint32_t base);
