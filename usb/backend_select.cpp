// Choice of the kernel-driver backend for each driver file the layer opens.
#include <cstdlib>
#include <mutex>
#include <string>

#include "usb/kernel_driver.h"

#ifdef BVU_HAVE_LIBUSB
#include "usb/backend_libusb.h"
#endif
#ifdef BVU_HAVE_EMULATOR
#include "emulator/backend.h"
#endif

namespace bvu {
namespace kd {
namespace {
std::mutex g_factoryMutex;
KernelDriverFactory g_factory;  // tests only; empty means "by environment"
}  // namespace

void setKernelDriverFactory(KernelDriverFactory factory) {
    std::lock_guard<std::mutex> lock(g_factoryMutex);
    g_factory = std::move(factory);
}

std::unique_ptr<KernelDriver> openKernelDriver(UDA_STATUS* status) {
    KernelDriverFactory factory;
    {
        std::lock_guard<std::mutex> lock(g_factoryMutex);
        factory = g_factory;
    }
    if (factory) return factory(status);

    const char* env = std::getenv("BVU_USB");
    std::string choice = env != nullptr ? env : "";
    const std::string emulatorPrefix = "emulator:";
    if (choice.compare(0, emulatorPrefix.size(), emulatorPrefix) == 0) {
#ifdef BVU_HAVE_EMULATOR
        return emulator::openEmulatorDriver(choice.substr(emulatorPrefix.size()), status);
#else
        *status = UDA_INTERNAL_SYSTEM_ERROR;
        return nullptr;
#endif
    }
    if (choice.empty()) {
#ifdef BVU_HAVE_LIBUSB
        return openLibusbDriver(status);
#else
        // No kernel driver on this platform yet: as when the driver is not installed.
        *status = UDA_INTERNAL_SYSTEM_ERROR;
        return nullptr;
#endif
    }
    *status = UDA_FAILED_TO_OPEN_DRIVER;  // an unknown backend name
    return nullptr;
}

}  // namespace kd
}  // namespace bvu
