// The texts of --help and --version.
#pragma once

#include <string>

// The usage: every option with one line saying what it does, and the exit codes.
std::string updaterUsage();

// The program's version, the versions of the firmware it carries, and the USB backends the
// build can use (usbBackendNames).
std::string updaterVersion(const std::string& carriedControl, const std::string& carriedVideo);

// The USB backends of this build, comma-separated ("none" when there is none).
std::string usbBackendNames();
