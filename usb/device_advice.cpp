#include "usb/device_advice.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace bvu {
namespace usb {
namespace {

struct Note {
    const void* owner;
    uint32_t id;
    kd::Unusable why;
    uint16_t vendorId;
    uint16_t productId;
    std::string driver;
};

// The process-wide state of device_advice.h, guarded by g_mutex.
std::mutex g_mutex;
std::vector<Note> g_notes;  // oldest first
std::vector<HANDLE> g_watchers;
std::map<std::pair<uint16_t, uint16_t>, DriverSign> g_signs;

// With g_mutex held: a waiter looks again (signalling is no callback: it only wakes).
void signalWatchersLocked() {
    for (HANDLE event : g_watchers) SetEvent(event);
}

std::string hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
    return text;
}

std::string adviceFor(const Note& note) {
    switch (note.why) {
        case kd::Unusable::NoDriver:
            return "The device is connected, but Windows has no WinUSB driver for it. Install "
                   "the driver that comes with this program (brevicor-winusb.inf, see "
                   "INSTALL.txt), then unplug the device and plug it in again.";
        case kd::Unusable::NoPermission:
            return "The device is connected, but this user may not open it. Install the udev "
                   "rule that comes with the package, which lets users open the device, then "
                   "unplug the device and plug it in again.";
        case kd::Unusable::OtherDriver: {
            const std::string driver =
                note.driver.empty() ? "another driver" : "the driver " + note.driver;
            const std::string id = note.productId != 0 ? " (USB ID " + hex4(note.vendorId) + " " +
                                                             hex4(note.productId) + ")"
                                                       : "";
            return "The device is connected, but Windows uses " + driver + " for it" + id +
                   ", which this program cannot use. Replace it with WinUSB: in Zadig, choose "
                   "the device, then WinUSB, then Replace Driver (see INSTALL.txt); then unplug "
                   "the device and plug it in again.";
        }
        case kd::Unusable::SettingUp:
            return "The device is connected, but Windows has not finished setting up its "
                   "driver. Wait until it has, then unplug the device, plug it in again and "
                   "try once more.";
        case kd::Unusable::No:
            break;
    }
    return "";
}

}  // namespace

void noteUnusableDevice(const void* owner, uint32_t id, kd::Unusable why, uint16_t vendorId,
                        uint16_t productId, const std::string& driver) {
    if (why == kd::Unusable::No)
        return;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_notes.push_back(Note{owner, id, why, vendorId, productId, driver});
    signalWatchersLocked();
}

void forgetUnusableDevice(const void* owner, uint32_t id) {
    std::lock_guard<std::mutex> lock(g_mutex);
    const size_t before = g_notes.size();
    g_notes.erase(std::remove_if(g_notes.begin(), g_notes.end(),
                                 [&](const Note& n) { return n.owner == owner && n.id == id; }),
                  g_notes.end());
    if (g_notes.size() != before)
        signalWatchersLocked();
}

void forgetUnusableDevices() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_notes.empty())
        signalWatchersLocked();
    g_notes.clear();
}

UnusableNote unusableDeviceOf(uint16_t vendorId, uint16_t productId) {
    std::lock_guard<std::mutex> lock(g_mutex);
    UnusableNote latest;
    for (const Note& n : g_notes) {
        if (n.vendorId == vendorId && n.productId == productId) {
            latest.why = n.why;
            latest.driver = n.driver;
        }
    }
    return latest;
}

void watchUnusableDevices(HANDLE event) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_watchers.push_back(event);
}

void unwatchUnusableDevices(HANDLE event) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = std::find(g_watchers.begin(), g_watchers.end(), event);
    if (it != g_watchers.end())
        g_watchers.erase(it);  // one registration for each watch
}

std::string unusableDeviceAdvice() {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<std::string> paragraphs;
    for (kd::Unusable why : {kd::Unusable::NoDriver, kd::Unusable::OtherDriver,
                             kd::Unusable::SettingUp, kd::Unusable::NoPermission}) {
        for (const Note& n : g_notes) {
            const std::string text = n.why == why ? adviceFor(n) : "";
            if (!text.empty() &&
                std::find(paragraphs.begin(), paragraphs.end(), text) == paragraphs.end())
                paragraphs.push_back(text);
        }
    }
    std::string advice;
    for (const std::string& p : paragraphs) advice += (advice.empty() ? "" : " ") + p;
    return advice;
}

void writeUnusableDeviceAdvice(std::FILE* out) {
    const std::string advice = unusableDeviceAdvice();
    if (!advice.empty()) {
        std::fprintf(out, "%s\n", advice.c_str());
        std::fflush(out);
    }
}

void noteDriverSign(uint16_t vendorId, uint16_t productId, DriverSign sign) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_signs[std::make_pair(vendorId, productId)] = sign;
}

DriverSign driverSign(uint16_t vendorId, uint16_t productId) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_signs.find(std::make_pair(vendorId, productId));
    return it == g_signs.end() ? DriverSign::Unknown : it->second;
}

}  // namespace usb
}  // namespace bvu
