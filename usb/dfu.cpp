// The DFU class requests that the session sends to the device's bootloader, the block counter
// that numbers downloads and uploads, the wait for dfuIDLE, the bootloader's two configuration
// procedures, and the names of DFU states and status codes.
#include <algorithm>

#include "platform/clock.h"
#include "usb/usbutils.h"

namespace {

constexpr uint8_t kDfuDnload = 1;
constexpr uint8_t kDfuUpload = 2;
constexpr uint8_t kDfuGetStatus = 3;
constexpr uint8_t kDfuClrStatus = 4;
constexpr uint8_t kDfuGetState = 5;

constexpr uint8_t kHostToDeviceClassInterface = 0x21;
constexpr uint8_t kDeviceToHostClassInterface = 0xA1;
// The bootloader's DFU interface as its firmware addresses it.
constexpr uint16_t kDfuInterface = 4;

constexpr uint32_t kStateIdle = 2;
constexpr uint32_t kStateError = 10;
// A device that is not idle within this time (nominal, on the clock) is taken as stuck.
constexpr double kIdleWaitLimitMs = 60000;

constexpr const char* kTransferPrefix = "Could not write to USB DFU device: ";
constexpr const char* kStatusPrefix = "Could not read status from USB DFU device: ";
constexpr const char* kStatePrefix = "Could not read state from USB DFU device: ";

// The configuration byte 02/00 of the bootloader: its bit 6 clear makes the device start its
// bootloader at every reset.
constexpr uint8_t kBootloaderBit = 0x40;
const uint8_t kSelectBootByte[3] = {0x05, 0x02, 0x00};

std::string shortReply(uint32_t received, uint32_t expected) {
    return "Short reply (" + std::to_string(received) + " of " + std::to_string(expected) +
           " bytes)";
}

std::string shortWrite(uint32_t taken, uint32_t sent) {
    return "Short write (" + std::to_string(taken) + " of " + std::to_string(sent) + " bytes)";
}

const char* const kStateNames[] = {
    "DFU_appIdle",         "DFU_appDetach",     "DFU_dfuIdle",
    "DFU_dfuDnloadSync",   "DFU_dfuDnloadBusy", "DFU_dfuDnloadIdle",
    "DFU_dfuManifestSync", "DFU_dfuManifest",   "DFU_dfuManifestWaitReset",
    "DFU_dfuUploadIdle",   "DFU_dfuError",
};

const char* const kStatusNames[] = {
    "DFU_OK",         "DFU_errTarget",      "DFU_errFile",     "DFU_errWrite",
    "DFU_errErase",   "DFU_errCheckErased", "DFU_errProg",     "DFU_errVerify",
    "DFU_errAddress", "DFU_errNotDone",     "DFU_errFirmware", "DFU_errVendor",
    "DFU_errUser",    "DFU_errPOR",         "DFU_errUnknown",  "DFU_errStalledPkt",
};

}  // namespace

void USBUtils::dfuDownload(const void* data, uint16_t length) {
    UDA_DEVICE_HANDLE device = waitForBootloader();
    // The counter wraps within its 16 bits on the bus (after 0x0000 comes 0xFFFF).
    blockNumber = static_cast<int32_t>(static_cast<uint32_t>(blockNumber) - 1);
    SetupPacket setup(kHostToDeviceClassInterface, kDfuDnload,
                      static_cast<uint16_t>(blockNumber & 0xFFFF), kDfuInterface, length);
    // The layer only reads the buffer of an OUT transfer; length 0 has no data stage.
    uint32_t taken =
        controlTransfer(device, setup, const_cast<void*>(data), false, kTransferPrefix);
    // The bootloader acts on what it got: a cut command block is not the one that was meant.
    if (taken < length)
        throw Error(kTransferPrefix + shortWrite(taken, length));
}

uint32_t USBUtils::dfuUpload(void* buffer, uint16_t length) {
    UDA_DEVICE_HANDLE device = waitForBootloader();
    blockNumber = static_cast<int32_t>(static_cast<uint32_t>(blockNumber) - 1);
    SetupPacket setup(kDeviceToHostClassInterface, kDfuUpload,
                      static_cast<uint16_t>(blockNumber & 0xFFFF), kDfuInterface, length);
    return controlTransfer(device, setup, buffer, true, kTransferPrefix);
}

DfuStatus USBUtils::dfuGetStatus() {
    UDA_DEVICE_HANDLE device = waitForBootloader();
    uint8_t reply[6] = {};
    SetupPacket setup(kDeviceToHostClassInterface, kDfuGetStatus, 0, kDfuInterface, sizeof reply);
    uint32_t received = controlTransfer(device, setup, reply, true, kStatusPrefix);
    // A partial reply has no trustworthy state; guessing one would steer the caller wrongly.
    if (received < sizeof reply)
        throw Error(kStatusPrefix + shortReply(received, sizeof reply));
    DfuStatus s;
    s.status = reply[0];
    s.pollTimeout = reply[1] | reply[2] << 8 | reply[3] << 16;
    s.state = reply[4];
    return s;
}

void USBUtils::dfuClearStatus() {
    UDA_DEVICE_HANDLE device = waitForBootloader();
    SetupPacket setup(kHostToDeviceClassInterface, kDfuClrStatus, 0, kDfuInterface, 0);
    controlTransfer(device, setup, nullptr, false, "Could not clear status on USB DFU device: ");
}

uint8_t USBUtils::dfuGetState() {
    UDA_DEVICE_HANDLE device = waitForBootloader();
    uint8_t state = 0;
    SetupPacket setup(kDeviceToHostClassInterface, kDfuGetState, 0, kDfuInterface, 1);
    uint32_t received = controlTransfer(device, setup, &state, true, kStatePrefix);
    if (received < 1)
        throw Error(kStatePrefix + shortReply(received, 1));
    return state;
}

void USBUtils::dfuWaitIdle() {
    const bvu::clock::TimePoint start = bvu::clock::now();
    DfuStatus s = dfuGetStatus();
    while (s.state != kStateIdle) {
        // dfuERROR stays until somebody clears it: polling on would only run into the limit.
        if (s.state == kStateError) {
            throw Error("Device in DFU_error state (" + dfuStatusName(s.status) + ")");
        }
        double elapsed = bvu::clock::nominalMsBetween(start, bvu::clock::now());
        if (elapsed >= kIdleWaitLimitMs) {
            throw Error("Device not idle after 60 seconds (" + dfuStateName(s.state) + ")");
        }
        // The poll time-out may be as long as 4.6 hours; never sleep past the limit.
        double remaining = kIdleWaitLimitMs - elapsed;
        bvu::clock::sleepMs(
            static_cast<uint32_t>(std::min<double>(s.pollTimeout, std::max(1.0, remaining))));
        s = dfuGetStatus();
    }
}

uint8_t USBUtils::readStartupByte() {
    dfuDownload(kSelectBootByte, sizeof kSelectBootByte);
    dfuWaitIdle();
    uint8_t b = 0;
    // Writing back a byte that never arrived would change the device's other settings, and a
    // missing read-back would pass for either setting.
    if (dfuUpload(&b, 1) < 1)
        throw Error(kTransferPrefix + shortReply(0, 1));
    return b;
}

bool USBUtils::setBootloaderFlag(bool flag) {
    const uint8_t b = readStartupByte();
    uint8_t v =
        flag ? static_cast<uint8_t>(b & ~kBootloaderBit) : static_cast<uint8_t>(b | kBootloaderBit);
    const uint8_t write[4] = {0x04, 0x02, 0x00, v};
    dfuDownload(write, sizeof write);
    dfuWaitIdle();
    return (readStartupByte() & kBootloaderBit) == 0;
}

bool USBUtils::bootloaderFlag() {
    return (readStartupByte() & kBootloaderBit) == 0;
}

void USBUtils::selectFlashRead(uint16_t start, uint16_t end) {
    const uint8_t block[6] = {0x03,
                              0x00,
                              static_cast<uint8_t>(start >> 8),
                              static_cast<uint8_t>(start),
                              static_cast<uint8_t>(end >> 8),
                              static_cast<uint8_t>(end)};
    dfuDownload(block, sizeof block);
    dfuWaitIdle();
}

void USBUtils::writeConfigurationByte() {
    // The security byte 01/05 := 0xFC.
    const uint8_t block[4] = {0x04, 0x01, 0x05, 0xFC};
    dfuDownload(block, sizeof block);
    dfuWaitIdle();
}

std::string USBUtils::dfuStateName(uint32_t state) {
    constexpr uint32_t count = sizeof kStateNames / sizeof kStateNames[0];
    return state < count ? kStateNames[state] : "Unknown DFU State";
}

std::string USBUtils::dfuStatusName(uint32_t status) {
    constexpr uint32_t count = sizeof kStatusNames / sizeof kStatusNames[0];
    return status < count ? kStatusNames[status] : "Unknown DFU Status";
}
