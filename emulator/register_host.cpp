// Compiled into every program that links the emulated device's hosts (development and test
// builds): BVU_USB=emulator:STATE reaches it in process, BVU_USB=winusb-fake:STATE through the
// WinUSB adapter.
#include "emulator/backend.h"
#include "emulator/win32_usb_fake.h"
#include "usb/host_registry.h"

namespace {

const bvu::kd::HostRegistration emulator("emulator", &bvu::emulator::openEmulatorHost);
const bvu::kd::HostRegistration winusbFake("winusb-fake", &bvu::emulator::openWinusbFakeHost);

}  // namespace
