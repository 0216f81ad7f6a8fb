#include "usb/device_advice.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace bvu {
namespace usb {
namespace {

struct Note {
    const void* owner;
    uint32_t id;
    kd::Unusable why;
};

std::mutex g_mutex;
std::vector<Note> g_notes;  // guarded by g_mutex; the process-wide notes of device_advice.h

const char* adviceFor(kd::Unusable why) {
    switch (why) {
        case kd::Unusable::NoDriver:
            return "The device is connected, but Windows has no WinUSB driver for it. Install "
                   "the driver that comes with this program (brevicor-winusb.inf, see "
                   "INSTALL.txt), then unplug the device and plug it in again.";
        case kd::Unusable::NoPermission:
            return "The device is connected, but this user may not open it. Install the udev "
                   "rule that comes with the package, which lets users open the device, then "
                   "unplug the device and plug it in again.";
        case kd::Unusable::No:
            break;
    }
    return "";
}

}  // namespace

void noteUnusableDevice(const void* owner, uint32_t id, kd::Unusable why) {
    if (why == kd::Unusable::No)
        return;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_notes.push_back(Note{owner, id, why});
}

void forgetUnusableDevice(const void* owner, uint32_t id) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_notes.erase(std::remove_if(g_notes.begin(), g_notes.end(),
                                 [&](const Note& n) { return n.owner == owner && n.id == id; }),
                  g_notes.end());
}

void forgetUnusableDevices() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_notes.clear();
}

std::string unusableDeviceAdvice() {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::string advice;
    for (kd::Unusable why : {kd::Unusable::NoDriver, kd::Unusable::NoPermission}) {
        const bool noted = std::any_of(g_notes.begin(), g_notes.end(),
                                       [&](const Note& n) { return n.why == why; });
        if (noted)
            advice += (advice.empty() ? "" : " ") + std::string(adviceFor(why));
    }
    return advice;
}

void writeUnusableDeviceAdvice(std::FILE* out) {
    const std::string advice = unusableDeviceAdvice();
    if (!advice.empty()) {
        std::fprintf(out, "%s\n", advice.c_str());
        std::fflush(out);
    }
}

}  // namespace usb
}  // namespace bvu
