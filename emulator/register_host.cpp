// Compiled into every program that links the emulated device's hosts (development and test
// builds): BVU_USB=emulator:STATE reaches it in process.
#include "emulator/backend.h"
#include "usb/host_registry.h"

namespace {

const bvu::kd::HostRegistration emulator("emulator", &bvu::emulator::openEmulatorHost);

}  // namespace
