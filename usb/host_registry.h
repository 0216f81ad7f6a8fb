// The USB hosts a program is built with, and the choice among them by BVU_USB.
//
// usb/ itself knows no host: each program registers the ones it links (libusb on Linux, WinUSB
// on Windows, the emulated device where the build has it). Linking a host's library does that:
// its registration file (a HostRegistration object) is compiled into every program that links
// it, so a release build without the emulated device cannot reach it by any setting.
//
// BVU_USB: unset or empty selects the platform's host; "NAME" or "NAME:ARGUMENT" selects the
// host registered as NAME and hands it ARGUMENT (for the emulated device, its state file). A
// name this build does not have is refused with one line on standard error.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "usb/host.h"

namespace bvu {
namespace kd {

// Opens one host adapter (one per driver file). Null and a status on failure (0 counts as
// "Internal system error").
using HostFactory = std::unique_ptr<Host> (*)(const std::string& argument, UDA_STATUS* status);

// Makes factory available as name; platformHost: also the host used when BVU_USB is unset or
// empty. Registering a name twice keeps the first. Call before the first subscription (the
// registration objects run before main).
void registerHost(const char* name, HostFactory factory, bool platformHost);

// The names of the registered hosts, in the order of registration ("libusb", "emulator"...), for
// the programs' --version.
std::vector<std::string> hostNames();

struct HostRegistration {
    HostRegistration(const char* name, HostFactory factory, bool platformHost = false) {
        registerHost(name, factory, platformHost);
    }
};

}  // namespace kd
}  // namespace bvu
