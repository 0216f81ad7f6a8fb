#include "update/owed_defaults.h"

#include <algorithm>
#include <cstdint>

#include "usb/usbutils.h"

namespace bvu {
namespace owed_defaults {
namespace {

constexpr uint16_t kPackageField = 0x33;
constexpr uint16_t kPackageFieldLength = 5;

}  // namespace

PackageField readPackageField(USBUtils& usb, const std::string& packageText) {
    PackageField field;
    if (packageText.empty() || packageText[0] != kMark) {
        field.text = packageText;
        return field;
    }
    field.marked = true;
    uint8_t bytes[kPackageFieldLength] = {};
    const uint32_t got = usb.read(5, 1, kPackageField, bytes, sizeof bytes);
    // The kept text: after the mark, up to its NUL or the end of the field.
    for (uint32_t i = 1; i < got && bytes[i] != 0; ++i) field.text += static_cast<char>(bytes[i]);
    return field;
}

PackageField readPackageField(USBUtils& usb) {
    return readPackageField(usb, usb.firmwareVersion());
}

void mark(USBUtils& usb, const std::string& packageText) {
    uint8_t bytes[kPackageFieldLength] = {static_cast<uint8_t>(kMark)};
    std::copy_n(packageText.begin(), std::min<size_t>(packageText.size(), 4), bytes + 1);
    usb.write(2, 3, 0, bytes, sizeof bytes);
}

void clear(USBUtils& usb, const std::string& keptText) {
    usb.setFirmwareVersion(keptText);
}

}  // namespace owed_defaults
}  // namespace bvu
