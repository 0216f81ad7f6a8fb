// The device's run-mode vocabulary: the standard requests, its own class-type requests on the
// control pipe (BVR_CMD, BVR_WRITE, BVR_READ), the bulk download and bulk messages, the
// information readers built on them, and the two mode switches.
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/events.h"
#include "usb/attach_wait.h"
#include "usb/usbutils.h"

namespace {

constexpr uint32_t kTransferTimeoutMs = 5000;
constexpr uint32_t kLeaveBusMs = 100;           // the device drops off the bus after 6,4
constexpr uint32_t kApplicationStartMs = 7000;  // restart and re-enumeration in run mode
constexpr uint32_t kDownloadPiece = 0x8000;     // largest BVR_DNLOAD transfer
constexpr uint32_t kDownloadEndpoint = 0x04;
constexpr uint32_t kMessageEndpoint = 0x02;
constexpr uint16_t kInfoTextSize = 32;
constexpr uint32_t kDfuStateError = 10;  // dfuERROR
constexpr uint32_t kPresencePollMs = 10;
constexpr uint16_t kVendorId = 0x03EB;
constexpr uint16_t kRunModeProductId = 0x3014;
constexpr uint16_t kBootloaderProductId = 0x2FFD;

// Standard requests.
constexpr uint8_t kGetStatus = 0;
constexpr uint8_t kGetDescriptor = 6;
// The device's own requests.
constexpr uint8_t kBvrCmd = 1;
constexpr uint8_t kBvrWrite = 2;
constexpr uint8_t kBvrRead = 3;
constexpr uint8_t kBvrDnload = 4;

constexpr uint8_t kHostToDeviceClass = 0x20;
constexpr uint8_t kDeviceToHostClass = 0xA0;
constexpr uint8_t kDeviceToHostStandard = 0x80;

// A device that keeps accepting bulk data without taking any would keep the download loop
// going for ever; such a piece is reported as the short transfer it is.
constexpr UDA_STATUS kShortPacket = 0x80000900;

// The received bytes up to the first NUL; never beyond what arrived.
std::string textOf(const char* bytes, uint32_t received) {
    const char* end = std::find(bytes, bytes + received, '\0');
    return std::string(bytes, end);
}

}  // namespace

SetupPacket::SetupPacket(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                         uint16_t wLength)
    : bytes{bmRequestType,
            bRequest,
            static_cast<uint8_t>(wValue & 0xFF),
            static_cast<uint8_t>(wValue >> 8),
            static_cast<uint8_t>(wIndex & 0xFF),
            static_cast<uint8_t>(wIndex >> 8),
            static_cast<uint8_t>(wLength & 0xFF),
            static_cast<uint8_t>(wLength >> 8)} {}

SetupPacket::SetupPacket(uint8_t bmRequestType, uint8_t bRequest, uint8_t a, uint8_t b,
                         uint8_t indexHigh, uint8_t indexLow, uint16_t wLength)
    : SetupPacket(bmRequestType, bRequest, static_cast<uint16_t>(a << 8 | b),
                  static_cast<uint16_t>(indexHigh << 8 | indexLow), wLength) {}

uint32_t USBUtils::controlTransfer(UDA_DEVICE_HANDLE device, const SetupPacket& setup, void* data,
                                   bool read, const std::string& prefix) {
    uint32_t length = setup.length();
    uint32_t transferred = 0;
    UDA_STATUS status = UDA_PipeTransfer(device, 0, read ? 1 : 0, 0, length ? data : nullptr,
                                         length, &transferred, setup.bytes, kTransferTimeoutMs);
    checkStatus(status, prefix);
    return std::min(transferred, length);
}

// ---- Control requests ---------------------------------------------------------------------

uint8_t USBUtils::deviceRelease() {
    UDA_DEVICE_HANDLE device = waitForDevice();
    uint8_t descriptor[18] = {};
    SetupPacket setup(kDeviceToHostStandard, kGetDescriptor, 0x0100, 0, sizeof descriptor);
    uint32_t n = controlTransfer(device, setup, descriptor, true,
                                 "Could not send GET_DESCRIPTOR to device: ");
    return n >= 14 ? descriptor[13] : 0;  // the major byte of bcdDevice
}

void USBUtils::getDeviceStatus() {
    UDA_DEVICE_HANDLE device = waitForDevice();
    uint8_t reply[2] = {};
    SetupPacket setup(kDeviceToHostStandard, kGetStatus, 0, 0, sizeof reply);
    controlTransfer(device, setup, reply, true,
                    "Could not send GET_STATUS request to USB device: ");
}

void USBUtils::command(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    UDA_DEVICE_HANDLE device = waitForDevice();
    SetupPacket setup(kHostToDeviceClass, kBvrCmd, a, b, c, d, 0);
    controlTransfer(device, setup, nullptr, false, "Could not send BVR_CMD to device: ");
}

void USBUtils::write(uint8_t a, uint8_t b, uint16_t address, const void* data, uint16_t length) {
    UDA_DEVICE_HANDLE device = waitForDevice();
    SetupPacket setup(kHostToDeviceClass, kBvrWrite, a, b, static_cast<uint8_t>(address >> 8),
                      static_cast<uint8_t>(address & 0xFF), length);
    // The layer only reads the buffer of an OUT transfer.
    uint32_t taken = controlTransfer(device, setup, const_cast<void*>(data), false,
                                     "Could not send BVR_WRITE to device: ");
    // A device that took only part of the bytes stored something else than was meant.
    if (taken < length) {
        throw Error("Could not send BVR_WRITE to device: Short write (" + std::to_string(taken) +
                    " of " + std::to_string(length) + " bytes)");
    }
}

void USBUtils::write(uint8_t a, uint8_t b, const void* data, uint16_t length) {
    write(a, b, 0, data, length);
}

uint32_t USBUtils::read(uint8_t a, uint8_t b, uint16_t address, void* buffer, uint16_t length) {
    UDA_DEVICE_HANDLE device = waitForDevice();
    SetupPacket setup(kDeviceToHostClass, kBvrRead, a, b, static_cast<uint8_t>(address >> 8),
                      static_cast<uint8_t>(address & 0xFF), length);
    return controlTransfer(device, setup, buffer, true, "Could not send BVR_READ to device: ");
}

uint32_t USBUtils::read(uint8_t a, uint8_t b, void* buffer, uint16_t length) {
    return read(a, b, 0, buffer, length);
}

// ---- Bulk requests ------------------------------------------------------------------------

void USBUtils::download(const void* data, uint32_t length) {
    UDA_DEVICE_HANDLE device = waitForDevice();
    const uint8_t* next = static_cast<const uint8_t*>(data);
    while (length > 0) {
        uint32_t piece = std::min(kDownloadPiece, length);
        SetupPacket setup(kHostToDeviceClass, kBvrDnload, 0, 0, static_cast<uint16_t>(piece));
        UDA_PipeInfo pipe = findPipe(device, kDownloadEndpoint);
        uint32_t transferred = 0;
        UDA_STATUS status = UDA_PipeTransfer(device, pipe.number, 0, 0, const_cast<uint8_t*>(next),
                                             piece, &transferred, setup.bytes, kTransferTimeoutMs);
        checkStatus(status, "Could not send BVR_DNLOAD to device: ");
        transferred = std::min(transferred, piece);
        if (transferred == 0)
            checkStatus(kShortPacket, "Could not send BVR_DNLOAD to device: ");
        next += transferred;
        length -= transferred;
    }
}

void USBUtils::bulkWrite(const void* data, uint32_t length) {
    UDA_DEVICE_HANDLE device = waitForDevice();
    UDA_PipeInfo pipe = findPipe(device, kMessageEndpoint);
    uint32_t transferred = 0;
    UDA_STATUS status = UDA_PipeTransfer(device, pipe.number, 0, 0, const_cast<void*>(data), length,
                                         &transferred, nullptr, kTransferTimeoutMs);
    checkStatus(status, "Could not write to USB device: ");
}

void USBUtils::bulkCommand(uint8_t x, uint8_t y, uint8_t z) {
    const uint8_t message[3] = {x, y, z};
    bulkWrite(message, sizeof message);
}

// ---- Information ----------------------------------------------------------------------------

std::string USBUtils::readInfoString(uint8_t n, bool* complete) {
    char text[kInfoTextSize] = {};
    uint32_t received = read(2, n, 0, text, sizeof text);
    if (complete != nullptr)  // the device sends the text and its NUL
        *complete = std::find(text, text + received, '\0') != text + received;
    return textOf(text, received);
}

std::string USBUtils::readMemoryString(uint16_t address, uint16_t length, bool* complete) {
    char text[kInfoTextSize] = {};
    // Memory texts are short; a longer request would not fit the buffer.
    uint16_t asked = std::min<uint16_t>(length, kInfoTextSize - 1);
    uint32_t received = read(5, 1, address, text, asked);
    if (complete != nullptr)
        *complete = received == asked || std::find(text, text + received, '\0') != text + received;
    return textOf(text, received);
}

std::string USBUtils::serialOfInfoText(const std::string& text) {
    return text.size() > 2 ? text.substr(2, 4) : std::string();
}

std::string USBUtils::serialNumber() {
    const std::string serial = serialOfInfoText(readInfoString(13));
    // From now on a run-mode device at the unit's location must have it to be this unit.
    if (!serial.empty())
        learnSerialNumber(serial);
    return serial;
}

std::string USBUtils::controlFirmwareVersion(bool* complete) {
    return readInfoString(4, complete);
}

std::string USBUtils::pcbRevision() {
    return readInfoString(7).substr(0, 4);
}

std::string USBUtils::firmwareVersion(bool* complete) {
    return readMemoryString(0x33, 4, complete);
}

std::string USBUtils::videoFirmwareVersion() {
    uint8_t v = 0;
    if (read(1, 4, 0x0F00, &v, 1) == 0)
        return std::string();  // compares below any version
    // Packed as major (3 bits) and minor (5 bits, two decimal digits).
    uint8_t minor = v & 0x1F;
    const char text[4] = {static_cast<char>('0' + (v >> 5)), '.',
                          static_cast<char>('0' + minor / 10), static_cast<char>('0' + minor % 10)};
    return std::string(text, sizeof text);
}

bool USBUtils::isNTSC() {
    uint8_t standard = 0;
    return read(5, 1, 0x3D, &standard, 1) >= 1 && standard != 'P';
}

void USBUtils::setNTSC() {
    const uint8_t standard = 'N';
    write(5, 1, 0x3D, &standard, 1);
}

void USBUtils::setPAL() {
    const uint8_t standard = 'P';
    write(5, 1, 0x3D, &standard, 1);
}

void USBUtils::setFirmwareVersion(const std::string& text) {
    uint8_t bytes[5] = {};  // four characters, padded with 0, and a closing 0
    std::memcpy(bytes, text.data(), std::min<size_t>(text.size(), 4));
    write(2, 3, 0, bytes, sizeof bytes);
}

// ---- Mode switches --------------------------------------------------------------------------

// The mode switches ask which guise is on the bus; the first such question waits until the
// session has heard of the devices present at its start, so an empty slot means that no device
// is there in that guise now.

void USBUtils::enterDfuMode() {
    if (isBootloaderPresent())
        return;
    // Release 1 firmware does not know the command and takes a bulk message instead.
    if (deviceRelease() < 2) {
        bulkCommand(0xC0, 0x00, 0x00);
    } else {
        command(6, 4, 0, 0);
    }
    // The device leaves the bus as it carries the command out; a moment for that departure to
    // be reported, so that the run-mode slot is empty when the caller next asks.
    bvu::clock::sleepMs(kLeaveBusMs);
}

void USBUtils::startApplication(int wait) {
    if (isDevicePresent())
        return;
    // The bootloader's "start application" block; it is carried out at the empty download.
    const uint8_t start[5] = {0x04, 0x03, 0x01, 0x00, 0x00};
    dfuDownload(start, sizeof start);
    dfuDownload(nullptr, 0);
    if (wait == 1)
        bvu::clock::sleepMs(kApplicationStartMs);
}

bool USBUtils::startApplicationIfComplete(int wait) {
    // A device that is re-enumerating (sent into its bootloader or restarted just before this
    // program started, or powered up a moment ago) is on the bus in neither guise for a while:
    // it gets as long as a request would wait for its device (longer while Windows sets up the
    // driver of either guise, usb/attach_wait.h).
    bvu::usb::GrowingWait limit(notice(), false);
    while (!isDevicePresent() && !isBootloaderPresent()) {
        limit.leftMs(kVendorId, kRunModeProductId, bvu::usb::DeviceGuise::Run);
        if (limit.leftMs(kVendorId, kBootloaderProductId, bvu::usb::DeviceGuise::Bootloader) <= 0)
            checkStatus(bvu::kEventTimeout, "Waiting for USB DFU-mode to attach: ");
        bvu::clock::sleepMs(kPresencePollMs);
    }
    limit.attached(isDevicePresent() ? bvu::usb::DeviceGuise::Run
                                     : bvu::usb::DeviceGuise::Bootloader);
    if (isDevicePresent())
        return true;
    // A run that ended in the middle of a command may have left the bootloader in dfuERROR,
    // where it refuses every command until the error is cleared.
    if (dfuGetStatus().state == kDfuStateError)
        dfuClearStatus();
    // The control firmware download sets the start-up bit to the bootloader before it erases
    // the flash and sets it back only once the new firmware has been written and read back:
    // a clear bit means the flash may hold no complete firmware.
    if (bootloaderFlag())
        return false;
    startApplication(wait);
    return true;
}
