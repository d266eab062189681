// The serial ports of a Linux host: /dev/serial/by-id (the names that stay the same whichever
// order adapters are plugged in), the USB adapters and modems (ttyUSB*, ttyACM*) and the
// built-in UARTs.  Every ttyS0..ttyS31 exists as a device file whether or not a UART stands
// behind it, so those count only when the driver reports one.
#include "port_runs/serial_ports.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

std::vector<std::string> DirectoryEntries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                names.emplace_back(entry->d_name);
            }
        }
        closedir(dir);
    }
    return names;
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

// The first line of a small text file, empty when there is none.
std::string FirstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// A USB device's maker and product, looked for in the few folders above the tty's device.
std::string UsbProduct(const std::string& tty) {
    std::string folder = RealPath("/sys/class/tty/" + tty + "/device");
    for (int up = 0; up < 4 && folder.size() > 1; ++up) {
        const std::string product = FirstLine(folder + "/product");
        if (!product.empty()) {
            const std::string maker = FirstLine(folder + "/manufacturer");
            return maker.empty() ? product : maker + " " + product;
        }
        folder = folder.substr(0, folder.find_last_of('/'));
    }
    return {};
}

// A built-in ttyS port counts when its driver reports a UART.
bool HasUart(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    serial_struct serial{};
    const bool uart = ioctl(fd, TIOCGSERIAL, &serial) == 0 && serial.type != PORT_UNKNOWN;
    close(fd);
    return uart;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

}  // namespace

std::vector<SerialPortEntry> ListSerialPorts() {
    std::vector<SerialPortEntry> ports;
    std::vector<std::string> byId = DirectoryEntries("/dev/serial/by-id");
    std::sort(byId.begin(), byId.end(), NaturalLess);
    for (const std::string& name : byId) {
        const std::string link = "/dev/serial/by-id/" + name;
        ports.push_back({link, "link to " + RealPath(link)});
    }

    std::vector<std::string> devices = DirectoryEntries("/dev");
    std::sort(devices.begin(), devices.end(), NaturalLess);
    for (const std::string& name : devices) {
        const std::string path = "/dev/" + name;
        if (StartsWith(name, "ttyUSB") || StartsWith(name, "ttyACM")) {
            const std::string product = UsbProduct(name);
            ports.push_back({path, product.empty() ? "USB serial device" : product});
        } else if (StartsWith(name, "ttyS") && HasUart(path)) {
            ports.push_back({path, "built-in serial port"});
        }
    }
    return ports;
}

std::string PortOpenPath(const std::string& name) {
    return name;
}

std::string PortIdentity(const std::string& name) {
    return RealPath(name);
}

std::string PortOpenProblem(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
            case ENOENT:
            case ENODEV:
            case ENXIO:
                return kNoSuchPort;
            case EACCES:
            case EPERM:
                return "permission denied (is the user in the group that owns the port, "
                       "often dialout?)";
            case EBUSY:
                return "in use by another program";
            default:
                return std::strerror(errno);
        }
    }
    std::string problem;
    termios settings;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        problem = "in use by another program";
    } else if (tcgetattr(fd, &settings) != 0) {
        problem = "not a serial port";
    }
    close(fd);
    return problem;
}
