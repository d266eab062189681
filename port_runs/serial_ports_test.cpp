// Port names: the Windows device path of a COM name, and the natural order of a port list.
#include "port_runs/serial_ports.h"

#include <gtest/gtest.h>

#include <algorithm>

TEST(WindowsDevicePath, BareComNamesGetTheDevicePrefix) {
    EXPECT_EQ(WindowsDevicePath("COM7"), "\\\\.\\COM7");
    EXPECT_EQ(WindowsDevicePath("com12"), "\\\\.\\COM12");
    EXPECT_EQ(WindowsDevicePath("COM3:"), "\\\\.\\COM3");  // the window's form
    for (const char* asGiven :
         {"\\\\.\\COM12", "COM", "COMX", "COM1x", "COM:", "/dev/ttyUSB0", "LPT1", "XCOM1"}) {
        EXPECT_EQ(WindowsDevicePath(asGiven), asGiven);
    }
}

TEST(NaturalLess, NumbersCountByValue) {
    std::vector<std::string> names = {"COM10",        "COM2",       "COM1", "/dev/ttyUSB10",
                                      "/dev/ttyUSB9", "/dev/ttyS0", "COM03"};
    std::sort(names.begin(), names.end(), NaturalLess);
    EXPECT_EQ(names, (std::vector<std::string>{"/dev/ttyS0", "/dev/ttyUSB9", "/dev/ttyUSB10",
                                               "COM1", "COM2", "COM03", "COM10"}));
}
