// The host's serial ports as the front ends name them: the list of ports that exist, the path
// the platform opens for a name the user gave, why a port won't open.
// serial_ports.cpp holds what both platforms share; serial_ports_posix.cpp and
// serial_ports_win32.cpp the rest.
#pragma once

#include <string>
#include <vector>

struct SerialPortEntry {
    std::string name;         // what to give --port
    std::string description;  // what it is, as far as the system tells
};

// The ports that exist, in a natural order (COM2 before COM10, ttyUSB2 before ttyUSB10).
// Linux: the /dev/serial/by-id links, ttyUSB*, ttyACM*, and the ttyS* that have a UART
// behind them; Windows: the COM devices the system knows.
std::vector<SerialPortEntry> ListSerialPorts();

// The path to open for a port name: on Windows a bare "COMn" (with or without its colon)
// becomes "\\.\COMn", which every COM port opens by and COM10 and above need; anything else,
// and every name on Linux, is opened as given.
std::string PortOpenPath(const std::string& name);

// What two names of one port have in common (the device a link leads to on Linux, the
// device name regardless of case on Windows): two names with the same identity are the
// same port.
std::string PortIdentity(const std::string& name);

// Why the port at `path` does not open, in a few words (kNoSuchPort, "in use by another
// program", ...); empty when no reason can be found.
std::string PortOpenProblem(const std::string& path);
inline constexpr char kNoSuchPort[] = "no such port";

// The Windows device path of a name, as PortOpenPath gives it on Windows.
std::string WindowsDevicePath(const std::string& name);

// Adds the port names of a list file, one a line (blank lines and # comments skipped, white
// space around a name ignored).  False when the file can't be read or is not a regular file.
bool ReadPortList(const std::string& path, std::vector<std::string>* ports);

// Empty when every name is a port of its own; else why not ("the port X is named twice", "X
// and Y are the same port").
std::string SamePortTwice(const std::vector<std::string>& ports);

// Orders names by their text, with runs of digits compared by value.
bool NaturalLess(const std::string& a, const std::string& b);
