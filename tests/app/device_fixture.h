// An emulated device in a temporary state file, and what the updater is expected to leave in
// it: the carried firmware images and the calibration results.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "tests/support/temp_dir.h"

namespace bvu {
namespace test {

class DeviceFile {
  public:
    // Creates the device (see bvu::emulator::CreateOptions); fails the test when it cannot.
    explicit DeviceFile(const emulator::CreateOptions& options = emulator::CreateOptions());
    ~DeviceFile();
    DeviceFile(const DeviceFile&) = delete;
    DeviceFile& operator=(const DeviceFile&) = delete;

    const std::string& path() const { return path_; }
    std::string usbSetting() const { return "emulator:" + path_; }  // for BVU_USB
    emulator::DeviceSnapshot snapshot() const;
    std::vector<emulator::TraceEntry> trace() const;
    void addFault(const emulator::FaultRule& rule) const;
    void unplug() const;
    void powerCycle() const;
    // Sends one command block to the device's bootloader, as a host would: DFU_DNLOAD, then
    // DFU_GETSTATUS until the command is done. Fails the test when the bootloader is not on the
    // bus or does not take it. E.g. {0x04, 0x00, 0xFF}: the chip erase.
    void bootloaderCommand(const std::vector<uint8_t>& block) const;

  private:
    TempDir dir_;
    const std::string path_ = dir_.file("device.json");
};

// Old firmware of the field: control 1.09, video 1.01, package 2.05.
emulator::CreateOptions oldDevice();
// The carried firmware already (control 1.12, video 1.02), package 2.05: a run that writes no
// firmware still gives it the package version.
emulator::CreateOptions currentDevice();

// A fault of this kind at the video firmware image's bulk download (endpoint 0x04).
emulator::FaultRule videoDownloadFault(emulator::FaultKind kind);

// The raw images the updater carries (unpacked from its embedded records).
std::vector<uint8_t> carriedControlImage();
std::vector<uint8_t> carriedVideoImage();

// The twelve 16-bit results (high byte first in memory from 0xD0) for the raw calibration bytes
// in memory and a correction factor.
std::vector<int> expectedCalibration(const std::vector<uint8_t>& memory, float correction);
std::vector<int> calibrationResults(const emulator::DeviceSnapshot& snapshot);

// Counts the device's own BVR_CMD requests (0x20, 1) with this wValue in a trace.
int commandCount(const std::vector<emulator::TraceEntry>& trace, uint16_t value);
// Counts the DFU uploads (0xA1, 2) of this many bytes in a trace.
int uploadCount(const std::vector<emulator::TraceEntry>& trace, uint16_t length);

// How a device differs from one that a clean `-batch -calib` update has left (its memory held
// memoryBefore before): "" when it does not, else one line per difference. Checks the guise,
// the versions 1.12 / 1.02 / 2.07, both flashes against the carried images, the calibration
// cells, the start-up bit and the security byte.
std::string differencesFromACleanUpdate(const emulator::DeviceSnapshot& device,
                                        const std::vector<uint8_t>& memoryBefore);

}  // namespace test
}  // namespace bvu
