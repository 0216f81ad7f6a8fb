#include "device_fixture.h"

#include <gtest/gtest.h>

#include <cmath>

#include "update/embedded_images.h"
#include "update/image_record.h"
#include "update/usbcalibupdater.h"

namespace bvu {
namespace test {

DeviceFile::DeviceFile(const emulator::CreateOptions& options) {
    std::string error;
    EXPECT_TRUE(emulator::createDevice(path_, options, &error)) << error;
}

DeviceFile::~DeviceFile() = default;

emulator::DeviceSnapshot DeviceFile::snapshot() const {
    emulator::DeviceSnapshot s;
    std::string error;
    EXPECT_TRUE(emulator::inspect(path_, &s, &error)) << error;
    return s;
}

std::vector<emulator::TraceEntry> DeviceFile::trace() const {
    std::vector<emulator::TraceEntry> entries;
    std::string error;
    EXPECT_TRUE(emulator::trace(path_, &entries, &error)) << error;
    return entries;
}

void DeviceFile::addFault(const emulator::FaultRule& rule) const {
    std::string error;
    EXPECT_TRUE(emulator::addFault(path_, rule, &error)) << error;
}

void DeviceFile::unplug() const {
    std::string error;
    EXPECT_TRUE(emulator::unplug(path_, &error)) << error;
}

void DeviceFile::powerCycle() const {
    std::string error;
    EXPECT_TRUE(emulator::unplug(path_, &error)) << error;
    EXPECT_TRUE(emulator::plug(path_, &error)) << error;
}

void DeviceFile::bootloaderCommand(const std::vector<uint8_t>& block) const {
    std::string error;
    std::shared_ptr<emulator::EmulatedBus> bus = emulator::openBus(path_, &error);
    ASSERT_TRUE(bus) << error;
    const std::vector<emulator::Presence> present = bus->present();
    ASSERT_FALSE(present.empty());
    ASSERT_EQ(present[0].productId, emulator::kBootloaderProductId);
    std::vector<uint8_t> data = block;
    const uint8_t dnload[8] = {0x21,
                               1,
                               0,
                               0,
                               4,
                               0,
                               static_cast<uint8_t>(data.size()),
                               static_cast<uint8_t>(data.size() >> 8)};
    const uint8_t getStatus[8] = {0xA1, 3, 0, 0, 4, 0, 6, 0};
    uint32_t moved = 0;
    ASSERT_EQ(bus->control(present[0].busId, dnload, data.data(), &moved), emulator::Reply::Ack);
    uint8_t status[6] = {};
    ASSERT_EQ(bus->control(present[0].busId, getStatus, status, &moved), emulator::Reply::Ack);
    ASSERT_EQ(status[0], 0) << "DFU status";
}

emulator::FaultRule videoDownloadFault(emulator::FaultKind kind) {
    emulator::FaultRule rule;
    rule.kind = kind;
    rule.match = true;
    rule.matchBulk = true;
    rule.matchRequest = 0x04;
    return rule;
}

emulator::CreateOptions oldDevice() {
    emulator::CreateOptions o;
    o.controlVersion = "1.09";
    o.videoVersion = "1.01";
    o.packageVersion = "2.05";
    return o;
}

emulator::CreateOptions currentDevice() {
    emulator::CreateOptions o = oldDevice();
    o.controlVersion = "1.12";
    o.videoVersion = "1.02";
    return o;
}

namespace {

std::vector<uint8_t> carriedImage(ImageKind kind) {
    const std::vector<unsigned char> record = embedded::imageProvider().imageRecord(kind);
    const image::RecordView view = image::parseRecord(record.data(), record.size());
    if (!view.isPacked()) {
        return std::vector<uint8_t>(view.data, view.data + view.rawLength);
    }
    boost::shared_array<unsigned char> raw =
        unpackImage(view.data, view.packedLength, view.rawLength);
    return std::vector<uint8_t>(raw.get(), raw.get() + view.rawLength);
}

}  // namespace

std::vector<uint8_t> carriedControlImage() {
    return carriedImage(ImageKind::Control);
}
std::vector<uint8_t> carriedVideoImage() {
    return carriedImage(ImageKind::Video);
}

std::vector<int> expectedCalibration(const std::vector<uint8_t>& memory, float correction) {
    std::vector<int> values;
    for (const USBCalibUpdater::CalibrationEntry& row : USBCalibUpdater::table) {
        const double raw = static_cast<int8_t>(memory.at(row.source));
        const double x = (raw + row.offset) * row.scale * correction;
        double v = std::trunc(x);
        v = v < 0 ? 0 : (v > 1023 ? 1023 : v);
        values.push_back(static_cast<int>(v));
    }
    return values;
}

std::vector<int> calibrationResults(const emulator::DeviceSnapshot& s) {
    std::vector<int> values;
    for (const USBCalibUpdater::CalibrationEntry& row : USBCalibUpdater::table) {
        values.push_back(s.memory[row.destination] * 256 + s.memory[row.destination + 1]);
    }
    return values;
}

namespace {

// Control requests of this type and request whose setup word at byte offset (2 wValue, 6
// wLength) equals value.
int controlCount(const std::vector<emulator::TraceEntry>& trace, uint8_t type, uint8_t request,
                 int offset, uint16_t value) {
    int n = 0;
    for (const emulator::TraceEntry& e : trace) {
        if (e.kind == emulator::TraceKind::Control && e.setup[0] == type && e.setup[1] == request &&
            (e.setup[offset] | (e.setup[offset + 1] << 8)) == value) {
            ++n;
        }
    }
    return n;
}

}  // namespace

int commandCount(const std::vector<emulator::TraceEntry>& trace, uint16_t value) {
    return controlCount(trace, 0x20, 1, 2, value);
}

int uploadCount(const std::vector<emulator::TraceEntry>& trace, uint16_t length) {
    return controlCount(trace, 0xA1, 2, 6, length);
}

std::string differencesFromACleanUpdate(const emulator::DeviceSnapshot& s,
                                        const std::vector<uint8_t>& memoryBefore) {
    std::string out;
    auto expect = [&out](bool holds, const std::string& what) {
        if (!holds) {
            out += what + "\n";
        }
    };
    expect(s.guise == emulator::Guise::Run && !s.vanished, "not in run mode");
    expect(s.controlVersion == "1.12", "control firmware '" + s.controlVersion + "'");
    expect(s.videoVersion == "1.02", "video firmware '" + s.videoVersion + "'");
    expect(s.packageVersion == "2.07", "package version '" + s.packageVersion + "'");
    std::vector<uint8_t> control = carriedControlImage();
    control.resize(emulator::kControlFlashSize, 0xFF);
    expect(s.controlFlash == control, "control flash " + s.controlFlashSha256);
    expect(s.videoFlash == carriedVideoImage(), "video flash " + s.videoFlashSha256);
    expect(calibrationResults(s) == expectedCalibration(memoryBefore, 1.0f), "calibration cells");
    expect(s.startupBit, "start-up bit on the bootloader");
    expect(s.securityByte == 0xFC, "security byte " + std::to_string(s.securityByte));
    return out;
}

}  // namespace test
}  // namespace bvu
