// The texts of --help and --version.
#pragma once

#include <string>
#include <vector>

// The usage: every option with one line saying what it does, and the exit codes.
std::string updaterUsage();

// The program's version, the versions of the firmware it carries, and the USB hosts the program
// was built with.
std::string updaterVersion(const std::string& carriedControl, const std::string& carriedVideo,
                           const std::vector<std::string>& usbHosts);

// The line that names the USB hosts: "USB hosts: libusb, emulator" ("none" when there is none).
std::string usbHostsLine(const std::vector<std::string>& usbHosts);
