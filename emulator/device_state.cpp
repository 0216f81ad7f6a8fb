#include "emulator/device_state.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "emulator/run_mode.h"
#include "synthetic_images/firmware_images.h"

namespace bvu {
namespace emulator {

namespace {

const std::vector<uint8_t>& cached(char kind, const std::string& version) {
    static std::mutex mutex;
    static std::map<std::pair<char, std::string>, std::unique_ptr<std::vector<uint8_t>>> images;
    std::lock_guard<std::mutex> lock(mutex);
    auto& slot = images[{kind, version}];
    if (!slot) {
        slot.reset(new std::vector<uint8_t>(kind == 'C' ? firmware::makeControlImage(version)
                                                        : firmware::makeVideoImage(version)));
    }
    return *slot;
}

}  // namespace

const std::vector<uint8_t>& syntheticControlImage(const std::string& version) {
    return cached('C', version);
}

const std::vector<uint8_t>& syntheticVideoImage(const std::string& version) {
    return cached('V', version);
}

std::string controlVersionOf(const DeviceState& d) {
    firmware::ImageInfo info;
    if (!firmware::identifyImage(d.controlFlash, &info))
        return "";
    if (info.kind != firmware::ImageKind::Control)
        return "";
    return info.version;
}

std::string videoVersionOf(const DeviceState& d) {
    firmware::ImageInfo info;
    if (!firmware::identifyImage(d.videoFlash, &info))
        return "";
    if (info.kind != firmware::ImageKind::Video)
        return "";
    return info.version;
}

uint8_t videoVersionByte(const DeviceState& d) {
    uint8_t packed = 0;
    // A bitstream that does not load (none, corrupt, or of the wrong kind) leaves the FPGA's
    // version register at 0.
    if (!firmware::packVideoVersion(videoVersionOf(d), &packed))
        return 0;
    return packed;
}

std::string packageVersionOf(const DeviceState& d) {
    std::string text;
    for (size_t i = 0; i < 5 && d.memory[kPackageVersion + i] != 0; ++i)
        text += static_cast<char>(d.memory[kPackageVersion + i]);
    return text;
}

uint8_t configByte(const DeviceState& d, uint16_t key) {
    auto it = d.config.find(key);
    return it == d.config.end() ? 0xFF : it->second;
}

bool startupSaysApplication(const DeviceState& d) {
    return (configByte(d, kConfigStartup) & kStartupApplicationBit) != 0;
}

std::string serialNumberOf(const DeviceState& d) {
    if (d.serialText.size() < 2)
        return "";
    return d.serialText.substr(2, 4);
}

bool isPortText(const std::string& text) {
    int numbers = 0;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t dot = std::min(text.find('.', at), text.size());
        const std::string number = text.substr(at, dot - at);
        if (number.empty() || number.size() > 3 || number[0] == '0' ||
            number.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(number) > 127 || ++numbers > 7)
            return false;
        at = dot + 1;
    }
    return numbers > 0;
}

std::string nextPort(const std::string& port) {
    const size_t dot = port.rfind('.');
    const size_t at = dot == std::string::npos ? 0 : dot + 1;
    return port.substr(0, at) + std::to_string(std::stoi(port.substr(at)) + 1);
}

std::map<uint16_t, uint8_t> factoryConfig() {
    return {
        {0x0000, 0x10},                                   // bootloader version 1.0
        {0x0001, 0xDC},                                   // bootloader id 1
        {0x0002, 0xFB},                                   // bootloader id 2
        {0x0100, 0x00},                                   // boot section settings
        {0x0101, 0x00},         {kConfigSecurity, 0xFF},  // no protection
        {0x0106, 0xFF},         {0x0130, 0x1E},           // manufacturer id
        {0x0131, 0x95},                                   // family: 32 KiB flash
        {0x0160, 0x8A},                                   // product id
        {0x0161, 0x00},                                   // revision
        {kConfigStartup, 0xFF},                           // start the application
    };
}

void applyDefaultSettings(std::array<uint8_t, kMemorySize>& memory) {
    for (size_t a = 0; a < kMemorySize; ++a) {
        // Kept: the factory calibration, the package version, the user's video standard.
        if (a <= kCalibrationRawLast)
            continue;
        if (a >= kPackageVersion && a < kPackageVersion + 5u)
            continue;
        if (a == kVideoStandard)
            continue;
        uint8_t v = 0x00;
        // Working calibration cells start at mid-range (0x0200) until they are calibrated.
        if (a >= kCalibrationResultFirst && a <= kCalibrationResultLast)
            v = ((a - kCalibrationResultFirst) % 2 == 0) ? 0x02 : 0x00;
        memory[a] = v;
    }
}

void resetVolatile(DeviceState& d, clock::TimePoint now) {
    if (d.video == VideoStage::Reprogramming)
        finishReprogramming(d, now);
    d.video = VideoStage::Idle;
    d.collected.clear();
    d.collected.shrink_to_fit();
    d.neverReady = false;
    d.stuckBusy = false;
    d.dfu = DfuMachine{};
    d.halted.clear();
}

Guise applicationGuise(const DeviceState& d) {
    return controlVersionOf(d).empty() ? Guise::Absent : Guise::Run;
}

Guise powerUpGuise(DeviceState& d) {
    if (d.bricked)
        return Guise::Absent;
    if (!startupSaysApplication(d))
        return Guise::Bootloader;
    if (applicationGuise(d) == Guise::Run)
        return Guise::Run;
    // The reset vector leads into an application that is not there, and the start-up bit
    // keeps the bootloader from ever being entered again.
    d.bricked = true;
    return Guise::Absent;
}

}  // namespace emulator
}  // namespace bvu
