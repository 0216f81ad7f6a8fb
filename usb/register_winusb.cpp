// Compiled into every program that links the WinUSB host: registers it as the platform's host.
#include "usb/backend_winusb.h"
#include "usb/host_registry.h"

namespace {

std::unique_ptr<bvu::kd::Host> openWinusb(const std::string&, UDA_STATUS* status) {
    return bvu::kd::openWinusbHost(status);
}

const bvu::kd::HostRegistration registration("winusb", &openWinusb, true);

}  // namespace
