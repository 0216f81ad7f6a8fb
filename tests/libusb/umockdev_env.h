// Shared by the suites that run against a umockdev testbed in their own process.
#pragma once

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace bvu {
namespace test {

// The testbed is only visible (and its hotplug events only delivered) under the preload.
inline bool underUmockdevPreload() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

#define BVU_REQUIRE_UMOCKDEV()                                           \
    ASSERT_TRUE(::bvu::test::underUmockdevPreload())                     \
        << "run this suite under umockdev-wrapper (CTest does, through " \
           "tests/libusb/run-under-umockdev.sh)"

// Polls (real time) until cond() holds; false after timeoutMs.
template <typename Cond>
bool eventually(Cond cond, int timeoutMs = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Opens the first device with this vendor and product, waiting for libusb's hotplug thread to
// have seen it. Null when it does not show up.
inline libusb_device_handle* openWhenPresent(libusb_context* ctx, uint16_t vendor, uint16_t product,
                                             int timeoutMs = 5000) {
    libusb_device_handle* handle = nullptr;
    eventually(
        [&] {
            handle = libusb_open_device_with_vid_pid(ctx, vendor, product);
            return handle != nullptr;
        },
        timeoutMs);
    return handle;
}

}  // namespace test
}  // namespace bvu
