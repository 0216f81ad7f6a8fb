// The choice of the USB host by BVU_USB among those the program registered.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "usb/host_registry.h"
#include "usb/kernel_driver.h"
#include "usb/uda.h"

namespace {

void setUsb(const char* value) {
#ifdef _WIN32
    _putenv_s("BVU_USB", value);  // "" removes it
#else
    if (*value == '\0') {
        unsetenv("BVU_USB");
    } else {
        setenv("BVU_USB", value, 1);
    }
#endif
}

std::string g_argument;  // what the probe host was opened with

std::unique_ptr<bvu::kd::Host> openProbe(const std::string& argument, UDA_STATUS* status) {
    g_argument = argument;
    *status = UDA_NO_EVENTS;  // a status of its own, to see that it comes through
    return nullptr;
}

const bvu::kd::HostRegistration probe("probe", &openProbe);

TEST(HostRegistry, BvuUsbNamesARegisteredHostAndHandsItTheRest) {
    bvu::kd::setKernelDriverFactory({});
    UDA_DRIVER_HANDLE driver = nullptr;

    setUsb("probe:C:\\devices\\one.json");
    EXPECT_EQ(UDA_Init(&driver, nullptr, 0, nullptr, 0), UDA_NO_EVENTS);
    EXPECT_EQ(g_argument, "C:\\devices\\one.json");  // everything after the first colon
    setUsb("probe");
    EXPECT_EQ(UDA_Init(&driver, nullptr, 0, nullptr, 0), UDA_NO_EVENTS);
    EXPECT_EQ(g_argument, "");

    // This program registered no platform host: as a driver that is not installed.
    setUsb("");
    EXPECT_EQ(UDA_Init(&driver, nullptr, 0, nullptr, 0), UDA_INTERNAL_SYSTEM_ERROR);

    // A host the build does not have (the emulated device in a release build): one line.
    setUsb("emulator:x");
    testing::internal::CaptureStderr();
    EXPECT_EQ(UDA_Init(&driver, nullptr, 0, nullptr, 0), UDA_FAILED_TO_OPEN_DRIVER);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "BVU_USB=emulator:x: this build has no USB host \"emulator\" (it has: probe); "
              "unset BVU_USB to use the device itself\n");
    EXPECT_EQ(driver, UDA_INVALID_DRIVER_HANDLE);
    setUsb("");
}

}  // namespace
