// A stand-alone libusb program, written as a third-party tool would be (no code of ours), that
// drives the device through a mode switch and back: the serve tests run it inside the testbed.
//
//   libusb_probe list          prints "vvvv:pppp bus dev location" per device of vendor 03eb
//   libusb_probe reenumerate   run mode -> bootloader (DFU requests on interface 0) -> run mode
//
// Exit status 0 on success, 1 on a failed step (with a line on standard error).
#include <libusb.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr uint16_t kVendor = 0x03EB;
constexpr uint16_t kRunMode = 0x3014;
constexpr uint16_t kBootloader = 0x2FFD;

std::mutex arrivedMutex;
int arrivedProduct = 0;

int LIBUSB_CALL onArrival(libusb_context*, libusb_device* device, libusb_hotplug_event, void*) {
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(device, &d) == 0) {
        std::lock_guard<std::mutex> lock(arrivedMutex);
        arrivedProduct = d.idProduct;
    }
    return 0;
}

bool fail(const char* step, int r) {
    std::fprintf(stderr, "libusb_probe: %s: %s\n", step, libusb_error_name(r));
    return false;
}

// Handles events until a device with this product has arrived (10 s real time).
libusb_device_handle* waitFor(libusb_context* ctx, uint16_t product) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        timeval tv{0, 50000};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
        bool arrived;
        {
            std::lock_guard<std::mutex> lock(arrivedMutex);
            arrived = arrivedProduct == product;
        }
        if (arrived) {
            libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, kVendor, product);
            if (h != nullptr)
                return h;
        }
    }
    std::fprintf(stderr, "libusb_probe: no device %04x:%04x arrived\n", kVendor, product);
    return nullptr;
}

int list(libusb_context* ctx) {
    libusb_device** devices = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &devices);
    int found = 0;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(devices[i], &d) != 0 || d.idVendor != kVendor)
            continue;
        // Where it is plugged: bus and port chain, as Linux names the device ("1-4.2").
        uint8_t ports[8];
        const int depth = libusb_get_port_numbers(devices[i], ports, sizeof ports);
        std::string where = std::to_string(libusb_get_bus_number(devices[i]));
        for (int p = 0; p < depth; ++p) where += (p == 0 ? "-" : ".") + std::to_string(ports[p]);
        std::printf("%04x:%04x %d %d %s\n", d.idVendor, d.idProduct,
                    libusb_get_bus_number(devices[i]), libusb_get_device_address(devices[i]),
                    where.c_str());
        ++found;
    }
    libusb_free_device_list(devices, 1);
    return found > 0 ? 0 : 1;
}

bool reenumerate(libusb_context* ctx) {
    libusb_hotplug_callback_handle hotplug;
    int r = libusb_hotplug_register_callback(
        ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, LIBUSB_HOTPLUG_ENUMERATE, kVendor,
        LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, onArrival, nullptr, &hotplug);
    if (r != 0)
        return fail("hotplug", r);
    libusb_device_handle* run = waitFor(ctx, kRunMode);
    if (run == nullptr)
        return false;
    {
        std::lock_guard<std::mutex> lock(arrivedMutex);
        arrivedProduct = 0;
    }
    r = libusb_claim_interface(run, 0);
    if (r != 0)
        return fail("claim run-mode interface", r);
    // The device's command to enter its bootloader (6,4); it leaves the bus at once.
    r = libusb_control_transfer(run, 0x20, 1, 0x0604, 0, nullptr, 0, 1000);
    libusb_close(run);
    if (r < 0)
        return fail("enter bootloader", r);

    libusb_device_handle* boot = waitFor(ctx, kBootloader);
    if (boot == nullptr)
        return false;
    {
        std::lock_guard<std::mutex> lock(arrivedMutex);
        arrivedProduct = 0;
    }
    r = libusb_claim_interface(boot, 0);
    if (r != 0)
        return fail("claim DFU interface", r);
    unsigned char status[6] = {};
    r = libusb_control_transfer(boot, 0xA1, 3, 0, 0, status, 6, 5000);  // DFU_GETSTATUS
    if (r != 6)
        return fail("DFU_GETSTATUS", r < 0 ? r : LIBUSB_ERROR_OTHER);
    if (status[4] != 2) {
        std::fprintf(stderr, "libusb_probe: bootloader in state %d, not dfuIDLE\n", status[4]);
        return false;
    }
    unsigned char start[5] = {0x04, 0x03, 0x01, 0x00, 0x00};  // start the application
    r = libusb_control_transfer(boot, 0x21, 1, 0, 0, start, 5, 5000);
    if (r != 5)
        return fail("DFU_DNLOAD", r < 0 ? r : LIBUSB_ERROR_OTHER);
    r = libusb_control_transfer(boot, 0x21, 1, 0, 0, nullptr, 0, 5000);
    libusb_close(boot);
    if (r < 0)
        return fail("DFU_DNLOAD (zero length)", r);

    libusb_device_handle* again = waitFor(ctx, kRunMode);
    if (again == nullptr)
        return false;
    unsigned char reply[2] = {};
    r = libusb_control_transfer(again, 0x80, 0, 0, 0, reply, 2, 1000);  // GET_STATUS
    libusb_close(again);
    libusb_hotplug_deregister_callback(ctx, hotplug);
    if (r != 2)
        return fail("GET_STATUS", r < 0 ? r : LIBUSB_ERROR_OTHER);
    std::printf("re-enumerated twice\n");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: libusb_probe list|reenumerate\n");
        return 2;
    }
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0)
        return 1;
    int status = 1;
    if (std::strcmp(argv[1], "list") == 0) {
        status = list(ctx);
    } else if (std::strcmp(argv[1], "reenumerate") == 0) {
        status = reenumerate(ctx) ? 0 : 1;
    }
    libusb_exit(ctx);
    return status;
}
