#include "update/usbcalibupdater.h"

#include <cstdio>

#include "usb/usbutils.h"

// Three groups of three consecutive raw bytes and three more; the results fill the 2-byte cells
// from 0xD0 to 0xE7.
const USBCalibUpdater::CalibrationEntry USBCalibUpdater::table[kEntries] = {
    {"", 0x00, 0xD0, 611.0f, 1.0f},  {"", 0x01, 0xD2, 477.0f, 1.0f},
    {"", 0x02, 0xD4, 477.0f, 1.0f},  {"", 0x06, 0xD6, 611.0f, 1.0f},
    {"", 0x07, 0xD8, 477.0f, 1.0f},  {"", 0x08, 0xDA, 477.0f, 1.0f},
    {"", 0x0C, 0xDC, 191.0f, 4.0f},  {"", 0x0D, 0xDE, 256.0f, 4.0f},
    {"", 0x0E, 0xE0, 256.0f, 4.0f},  {"", 0x0F, 0xE2, 600.0f, 0.5f},
    {"", 0x10, 0xE4, 1024.0f, 0.5f}, {"", 0x11, 0xE6, 1024.0f, 0.5f},
};

USBCalibUpdater::~USBCalibUpdater() = default;

int USBCalibUpdater::calibratedValue(const CalibrationEntry& entry, uint8_t raw, float correction) {
    const double x = (static_cast<int8_t>(raw) + static_cast<double>(entry.offset)) *
                     static_cast<double>(entry.scale) * static_cast<double>(correction);
    // Compared before converting, so that no factor (negative, huge, not a number) gives a
    // value the cell cannot hold or a conversion out of the int range.
    if (!(x > 0.0))
        return 0;
    if (x >= kMaxValue)
        return kMaxValue;
    return static_cast<int>(x);  // toward zero
}

void USBCalibUpdater::update() {
    USBUtils& usb = USBUtils::instance();
    int step = 0;
    for (const CalibrationEntry& entry : table) {
        uint8_t raw = 0;
        if (usb.read(5, 1, entry.source, &raw, 1) < 1) {
            // Writing a value computed from a byte that never came would corrupt the cell.
            char detail[96];
            std::snprintf(detail, sizeof detail,
                          "No raw calibration value came from the device (address 0x%02X).",
                          entry.source);
            throw USBUtils::Error(detail);
        }
        const int value = calibratedValue(entry, raw, correction_);
        const uint8_t cell[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
        usb.write(5, 1, entry.destination, cell, 2);
        step = reportProgress(step, kEntries);
    }
}
