// Compiled into every program that links the libusb host: registers it as the platform's host.
#include "usb/backend_libusb.h"
#include "usb/host_registry.h"

namespace {

std::unique_ptr<bvu::kd::Host> openLibusb(const std::string&, UDA_STATUS* status) {
    return bvu::kd::openLibusbHost(status);
}

const bvu::kd::HostRegistration registration("libusb", &openLibusb, true);

}  // namespace
