#include "update/owed_defaults.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "usb/usbutils.h"

namespace bvu {
namespace owed_defaults {
namespace {

constexpr uint16_t kPackageField = 0x33;
constexpr uint16_t kPackageFieldLength = 5;

USBUtils::Error incomplete(uint32_t got) {
    return USBUtils::Error("The package version field came incomplete (" + std::to_string(got) +
                           " bytes).");
}

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
    // The kept text: after the mark, up to its NUL or the end of the field. Cut short, it would be
    // put back cut short.
    const uint8_t* const first = bytes + 1;
    const uint8_t* end = std::find(first, static_cast<const uint8_t*>(bytes + got), 0);
    if (got < sizeof bytes && end == bytes + got)
        throw incomplete(got);
    field.text.assign(first, end);
    return field;
}

PackageField readPackageField(USBUtils& usb) {
    bool complete = false;
    const std::string text = usb.firmwareVersion(&complete);
    if (!complete)
        throw incomplete(static_cast<uint32_t>(text.size()));
    return readPackageField(usb, text);
}

void mark(USBUtils& usb, const std::string& packageText) {
    uint8_t bytes[kPackageFieldLength] = {static_cast<uint8_t>(kMark)};
    for (size_t i = 1; i < kPackageFieldLength && i <= packageText.size(); ++i)
        bytes[i] = static_cast<uint8_t>(packageText[i - 1]);
    usb.write(2, 3, 0, bytes, sizeof bytes);
}

void clear(USBUtils& usb, const std::string& keptText) {
    usb.setFirmwareVersion(keptText);
}

}  // namespace owed_defaults
}  // namespace bvu
