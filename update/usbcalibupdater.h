// USBCalibUpdater: recomputes the device's working calibration values from the raw values
// stored in its memory, with a common correction factor, and writes them back.
#pragma once

#include <cstdint>
#include <string>

#include "update/usbupdater.h"

class USBCalibUpdater : public USBUpdater {
  public:
    // One value: raw byte at source (signed), (raw + offset) * scale * correction written as a
    // 16-bit value, high byte first, at destination.
    struct CalibrationEntry {
        const char* label;  // empty; for people reading the table
        uint16_t source;
        uint16_t destination;
        float offset;
        float scale;
    };
    static constexpr int kEntries = 12;
    static constexpr int kMaxValue = 1023;  // the device's calibration cells hold ten bits
    static const CalibrationEntry table[kEntries];

    USBCalibUpdater() = default;
    ~USBCalibUpdater() override;

    // Before update(); 1.0 unless set.
    void setCorrection(float factor) { correction_ = factor; }
    float correction() const { return correction_; }

    std::string version() const override { return "2.0"; }

    // Row by row: read the raw byte, compute, write, one progress step. Values below 0 are
    // written as 0 and values above 1023 as 1023, whatever the correction. Throws
    // USBUtils::Error when a read or write fails, or when a read delivers no byte; the rows
    // written before stay written. Reports no status text.
    void update() override;

    // The value written for a raw byte of a row (exposed for the tests of the arithmetic).
    static int calibratedValue(const CalibrationEntry& entry, uint8_t raw, float correction);

  private:
    float correction_ = 1.0f;
};
