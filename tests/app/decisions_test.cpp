// The updater's small decisions: the version text, the one inspection question, the old
// control firmware threshold, and the progress bar's rounding.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "app/command_line.h"
#include "app/program_info.h"
#include "app/program_version.h"
#include "app/progress_percent.h"
#include "app/update_plan.h"
#include "app/update_question.h"
#include "app/update_settings.h"

namespace {

TEST(VersionText, MajorDotTwoDigitMinor) {
    EXPECT_EQ(programVersionText(), "2.07");
    EXPECT_EQ(versionText(2.071), "2.07");
    EXPECT_EQ(versionText(2.07), "2.07");  // just below 2.07 in binary
    EXPECT_EQ(versionText(1.1), "1.10");
    EXPECT_EQ(versionText(3.0), "3.00");
    EXPECT_EQ(versionText(12.345), "12.34");
}

// modeswitch takes its version from the build's project version: both programs name one.
TEST(VersionText, IsTheProjectVersion) {
    EXPECT_EQ(programVersionText(), BVU_PROJECT_VERSION);
}

// Every option the command line takes has its line in the usage, which fits a terminal.
TEST(Usage, NamesEveryOptionInLinesOfAtMost80Columns) {
    const std::string usage = updaterUsage();
    for (const char* option :
         {"-batch", "-calib", "-nocalib", "-nomicro", "-nofpga", "-noverify", "-correction VALUE",
          "-dfu", "-pellinHDMI", "-device LOCATION", "-serial NUMBER", "-list", "-json",
          "-log FILE", "-h, -?, --help", "--version"}) {
        EXPECT_NE(usage.find(std::string("\n  ") + option + " "), std::string::npos) << option;
        const std::string name = std::string(option).substr(0, std::string(option).find(' '));
        // "-h," is the option -h
        EXPECT_TRUE(
            isCommandLineOption(name.back() == ',' ? name.substr(0, name.size() - 1) : name))
            << option;
    }
    std::istringstream lines(usage);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(line.size(), 80u) << line;
    }
    EXPECT_EQ(updaterVersion("1.12", "1.02", {"libusb", "emulator"}),
              "updater 2.07 (Brevicor Update Utility)\ncarried firmware: control 1.12, video "
              "1.02\nUSB hosts: libusb, emulator\n");
    EXPECT_EQ(usbHostsLine({}), "USB hosts: none");
}

InspectedVersions versions(const char* f, const char* v, const char* c) {
    return InspectedVersions{f, v, c, "2.07", "1.02", "1.12"};
}

const char* kUpToDate =
    "The unit is already up-to-date.\nDo you wish to download the firmware anyway?";
const char* kDowngrade =
    "The unit contains a more recent version\nof the firmware. Do you wish to perform a "
    "downgrade?";
const char* kVideo =
    "The unit contains a more recent version\nof the video firmware. Proceeding with the "
    "update\nwill downgrade this firmware. Do you wish to update?";
const char* kControl =
    "The unit contains a more recent version\nof the control firmware. Proceeding with the "
    "update\nwill downgrade this firmware. Do you wish to update?";

TEST(InspectionQuestion, FirstRuleThatHoldsDecides) {
    EXPECT_EQ(inspectionQuestion(versions("2.07", "1.01", "1.09")), kUpToDate);
    // Same package wins even when both firmwares are newer than the carried ones.
    EXPECT_EQ(inspectionQuestion(versions("2.07", "1.99", "1.99")), kUpToDate);
    EXPECT_EQ(inspectionQuestion(versions("2.10", "1.99", "1.99")), kDowngrade);
    EXPECT_EQ(inspectionQuestion(versions("1.99", "1.03", "1.99")), kVideo);
    EXPECT_EQ(inspectionQuestion(versions("", "1.02", "1.13")), kControl);
    EXPECT_EQ(inspectionQuestion(versions("1.99", "1.02", "1.12")), "");
    EXPECT_EQ(inspectionQuestion(versions("", "", "")), "");
}

TEST(InspectionQuestion, VersionsCompareByCharacters) {
    EXPECT_EQ(inspectionQuestion(versions("1.99", "1.2", "1.00")), kVideo);        // '2' > '0'
    EXPECT_EQ(inspectionQuestion(versions("2.07 ", "1.00", "1.00")), kDowngrade);  // longer
    EXPECT_EQ(inspectionQuestion(versions("2.0", "1.00", "1.00")), "");            // prefix
    // Bytes compare unsigned: a high byte is greater than any digit.
    EXPECT_EQ(inspectionQuestion(versions("\xC3", "1.00", "1.00")), kDowngrade);
}

TEST(OldControlFirmware, BelowOnePointTen) {
    EXPECT_TRUE(isOldControlFirmware("1.09"));
    EXPECT_TRUE(isOldControlFirmware("1.0"));
    EXPECT_TRUE(isOldControlFirmware(""));
    EXPECT_TRUE(isOldControlFirmware("0.99"));
    EXPECT_FALSE(isOldControlFirmware("1.10"));
    EXPECT_FALSE(isOldControlFirmware("1.12"));
    EXPECT_FALSE(isOldControlFirmware("1.2"));
}

TEST(ProgressPercent, WholePercentRoundedHalfUp) {
    EXPECT_EQ(progressPercent(0.004f), 0);
    EXPECT_EQ(progressPercent(0.5f), 50);
    EXPECT_EQ(progressPercent(0.996f), 100);
    EXPECT_EQ(progressPercent(1.0f), 100);
    EXPECT_EQ(progressPercent(1.0f / 12), 8);
    EXPECT_EQ(progressPercent(0.125f), 13);  // exactly half: up
    EXPECT_EQ(progressPercent(2.0f / 11), 18);
}

TEST(ProgressPercent, OutOfRangeFractionsStayOnTheBar) {
    EXPECT_EQ(progressPercent(0.0f), 0);
    EXPECT_EQ(progressPercent(-0.5f), 0);
    EXPECT_EQ(progressPercent(1.5f), 100);
    EXPECT_EQ(progressPercent(__builtin_nanf("")), 0);
    EXPECT_EQ(progressPercent(__builtin_inff()), 100);
}

}  // namespace

// The plan of a run: which steps, and when the default values and the package version are due.
struct PlanCase {
    const char* name;
    UpdateSettings settings;
    UnitFacts unit;
    const char* text;
    bool markDefaults;
};

TEST(UpdatePlan, StepsDefaultValuesAndPackageVersion) {
    const CarriedVersions carried{"1.12", "1.02", "2.07"};
    UpdateSettings all;
    all.calibrationMode = 1;
    UpdateSettings noMicro;
    noMicro.updateControlFirmware = false;
    UpdateSettings noFpga;
    noFpga.updateVideoFirmware = false;
    UpdateSettings neither = noMicro;
    neither.updateVideoFirmware = false;
    const UnitFacts old{false, "1.09", "1.01", false, "2.05"};
    const UnitFacts current{false, "1.12", "1.02", false, "2.05"};
    const UnitFacts oldMarked{false, "1.09", "1.01", true, "2.05"};
    const UnitFacts newMarked{false, "1.12", "1.01", true, "2.05"};
    const UnitFacts incomplete{true, "", "", false, "2.05"};
    const PlanCase cases[] = {
        {"old unit", all, old,
         "control firmware 1.12, default values, calibration data, video firmware 1.02, package "
         "version 2.07",
         true},
        {"current unit", UpdateSettings(), current,
         "control firmware 1.12, video firmware 1.02, package version 2.07", false},
        // 1.10 and later never owe them.
        {"1.10", UpdateSettings(), UnitFacts{false, "1.10", "1.01", false, "2.05"},
         "control firmware 1.12, video firmware 1.02, package version 2.07", false},
        {"old unit, -nomicro", noMicro, old, "video firmware 1.02", false},
        {"old unit, -nofpga", noFpga, old, "control firmware 1.12, default values", true},
        {"old unit, -nomicro -nofpga", neither, old, "nothing", false},
        {"current unit, -nomicro -nofpga", neither, current, "package version 2.07", false},
        // An interrupted run's mark: owed whatever the version reads, never marked twice; with
        // -nomicro only once the new control firmware runs.
        {"marked, new firmware", UpdateSettings(), newMarked,
         "control firmware 1.12, default values, video firmware 1.02, package version 2.07", false},
        {"marked, new firmware, -nomicro", noMicro, newMarked,
         "default values, video firmware 1.02, package version 2.07", false},
        {"marked, old firmware, -nomicro", noMicro, oldMarked, "video firmware 1.02", false},
        {"incomplete, -nomicro", noMicro, incomplete,
         "control firmware 1.12, default values if the unit owes them, video "
         "firmware 1.02, package version 2.07",
         false},
    };
    for (const PlanCase& c : cases) {
        const UpdatePlan plan = planUpdate(c.settings, c.unit, carried);
        EXPECT_EQ(planText(plan, carried), c.text) << c.name;
        EXPECT_EQ(plan.markDefaults, c.markDefaults) << c.name;
    }
    // Recovered from the bootloader: a mark, or no package version at all (a unit that never
    // finished an update), owes them; a unit that did finish one and left no mark does not.
    EXPECT_TRUE(recoveredUnitOwesDefaults(true, "2.05"));
    EXPECT_TRUE(recoveredUnitOwesDefaults(false, ""));
    EXPECT_TRUE(recoveredUnitOwesDefaults(false, "\xFF\xFF\xFF\xFF"));
    EXPECT_FALSE(recoveredUnitOwesDefaults(false, "2.07"));
    EXPECT_FALSE(isPackageVersion("2.0"));
    EXPECT_FALSE(isPackageVersion("~2.0"));
    EXPECT_FALSE(packageVersionDue("1.12", "1.03", carried));
    EXPECT_FALSE(packageVersionDue("", "1.02", carried));
    EXPECT_TRUE(packageVersionDue("1.12", "1.02", carried));
}
