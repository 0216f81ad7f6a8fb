// The calibration updater: the table's arithmetic, the clamping, and the requests it makes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/update/procedure_fixture.h"
#include "update/usbcalibupdater.h"

namespace bvu {
namespace test {
namespace {

using Lines = std::vector<std::string>;
const auto& kTable = USBCalibUpdater::table;

TEST(CalibrationValueTest, RowsAndCorrections) {
    struct Case {
        int row;
        uint8_t raw;
        float correction;
        int value;
    } cases[] = {
        {0, 0x00, 1.0f, 611},
        {1, 0xFF, 1.0f, 476},
        {6, 0x41, 1.0f, 1023},  // 1024 clamped
        {6, 0x40, 1.0f, 1020},
        {9, 0x01, 1.0f, 300},
        {10, 0x80, 1.0f, 448},
        {0, 0x00, 0.5f, 305},
        {11, 0x7F, 0.0f, 0},
        // Beyond the cell in either direction, whatever the factor.
        {0, 0x00, -1.0f, 0},
        {6, 0x7F, 52.0f, 1023},
        {6, 0x7F, 1e30f, 1023},
        {0, 0x00, std::numeric_limits<float>::infinity(), 1023},
        {0, 0x00, -std::numeric_limits<float>::infinity(), 0},
        {0, 0x00, std::numeric_limits<float>::quiet_NaN(), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("row " + std::to_string(c.row) + " raw " + std::to_string(c.raw) +
                     " correction " + std::to_string(c.correction));
        EXPECT_EQ(USBCalibUpdater::calibratedValue(kTable[c.row], c.raw, c.correction), c.value);
    }
}

TEST(CalibrationValueTest, TableShape) {
    for (int i = 0; i < USBCalibUpdater::kEntries; ++i) {
        EXPECT_EQ(kTable[i].destination, 0xD0 + 2 * i);
        EXPECT_STREQ(kTable[i].label, "");
    }
    EXPECT_EQ(kTable[11].source, 0x11);
}

class CalibrationTest : public ProcedureTest {
  protected:
    // The 2-byte cell written at a destination.
    std::string cell(uint16_t address) const {
        char text[8];
        std::snprintf(text, sizeof text, "%02x %02x", device->memoryAt(address),
                      device->memoryAt(address + 1));
        return text;
    }
};

TEST_F(CalibrationTest, ReadsEachRawByteAndWritesItsValueHighByteFirst) {
    device->memory[0x00] = 0x00;
    device->memory[0x01] = 0xFF;
    device->memory[0x0C] = 0x41;
    device->memory[0x0F] = 0x01;
    device->memory[0x10] = 0x80;
    USBCalibUpdater updater;
    updater.setNotifier(notifier());
    updater.update();

    EXPECT_EQ(cell(0xD0), "02 63");
    EXPECT_EQ(cell(0xD2), "01 dc");
    EXPECT_EQ(cell(0xDC), "03 ff");
    EXPECT_EQ(cell(0xE2), "01 2c");
    EXPECT_EQ(cell(0xE4), "01 c0");
    EXPECT_EQ(*log, progressRun(1, 12, 12));  // and no status line
    Lines expected;
    for (const auto& row : kTable) {
        char read[32];
        std::snprintf(read, sizeof read, "read 5,1 @0x%04X 1", row.source);
        expected.push_back(read);
        char write[32];
        std::snprintf(write, sizeof write, "write 5,1 @0x%04X", row.destination);
        expected.push_back(std::string(write) + " " + cell(row.destination));
    }
    EXPECT_EQ(requests(), expected);
}

TEST_F(CalibrationTest, CorrectionFactorsScaleEveryRow) {
    USBCalibUpdater half;
    half.setCorrection(0.5f);
    half.update();
    EXPECT_EQ(cell(0xD0), "01 31");  // 305.5

    USBCalibUpdater zero;
    zero.setCorrection(0.0f);
    zero.update();
    for (const auto& row : kTable) EXPECT_EQ(cell(row.destination), "00 00");

    USBCalibUpdater negative;
    negative.setCorrection(-3.0f);
    negative.update();
    for (const auto& row : kTable) EXPECT_EQ(cell(row.destination), "00 00");
}

TEST_F(CalibrationTest, AReadWithoutAByteEndsTheUpdateBeforeItsRowIsWritten) {
    for (const auto& row : kTable) {
        device->memory[row.destination] = 0xEE;
        device->memory[row.destination + 1] = 0xEE;
    }
    device->silentAddresses = {0x06};  // row 3
    USBCalibUpdater updater;
    EXPECT_EQ(errorOf([&] { updater.update(); }),
              "USB communication error: No raw calibration value came from the device "
              "(address 0x06).");
    EXPECT_EQ(cell(0xD0), "02 63");  // rows 0 to 2 stay written
    EXPECT_EQ(cell(0xD4), "01 dd");
    EXPECT_EQ(cell(0xD6), "ee ee");  // row 3 and later keep their old values
    EXPECT_EQ(requests().back(), "read 5,1 @0x0006 1");
}

}  // namespace
}  // namespace test
}  // namespace bvu
