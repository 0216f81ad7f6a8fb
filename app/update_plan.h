// What an update run writes to a unit, decided from the command line's settings and what the
// unit holds: the one place that knows the order of the steps and when each is due. The
// inspection shows it, the update worker follows it, and the listing tells it without writing.
//
// The default values (old settings do not suit a control firmware of 1.10 or later) are owed
// by a unit whose control firmware reads below "1.10" when the run writes the control firmware,
// and by a unit that carries the owed-defaults mark of an earlier run that was interrupted
// before it programmed them (see update/owed_defaults.h): the mark, not the version, tells,
// since the new control firmware may already run. A unit found in its bootloader without a
// complete control firmware reads nothing: whether it owes them is known only once its control
// firmware runs again: the mark left before it went there, or a package version field that
// holds no package version at all (a unit that never finished an update, such as one fresh
// from the factory, whose settings were never made to suit a current control firmware). A unit
// that finished an update and was then interrupted without leaving the mark never owed them.
//
// Pure functions; any thread.
#pragma once

#include <string>

struct UpdateSettings;

// What the package version shows, in the dialog and in a listing, while the owed-defaults mark
// is on the unit: a unit in the middle of an update holds no package version.
constexpr char kPackageIncomplete[] = "incomplete";

// What the inspection found on the unit.
struct UnitFacts {
    // In its bootloader with the start-up bit on the bootloader: nothing else could be read.
    bool controlIncomplete = false;
    std::string control;        // C, the control firmware version as read
    std::string video;          // V, the video firmware version as read
    bool defaultsOwed = false;  // the owed-defaults mark is on the unit
    std::string package;        // the package version; with the mark, the text kept under it
};

// The versions the program writes.
struct CarriedVersions {
    std::string control;  // Cu
    std::string video;    // Vu
    std::string package;  // P, programVersionText()
};

struct UpdatePlan {
    enum class Defaults {
        No,
        Yes,     // after the control firmware step, or alone (the mark on a current firmware)
        IfOwed,  // decided once its control firmware runs (recoveredUnitOwesDefaults)
    };
    bool control = false;       // write the control firmware (through the bootloader)
    bool markDefaults = false;  // leave the owed-defaults mark before the first write
    Defaults defaults = Defaults::No;
    bool calibration = false;  // recompute and write the calibration data
    bool video = false;        // write the video firmware
    // The package version is written after the steps when the unit then holds the carried
    // control and video firmware; this says whether that is to be expected.
    bool packageVersion = false;
};

UpdatePlan planUpdate(const UpdateSettings& settings, const UnitFacts& unit,
                      const CarriedVersions& carried);

// Whether a unit recovered from its bootloader owes its default values, by its package version
// field as read once its control firmware runs: marked, or holding no package version.
bool recoveredUnitOwesDefaults(bool marked, const std::string& package);
// A package version as this program writes it: a digit, a point and two digits.
bool isPackageVersion(const std::string& text);

// Whether a unit whose firmware now reads so may be given the program's package version: only
// a unit that holds every firmware of the package deserves its version.
bool packageVersionDue(const std::string& control, const std::string& video,
                       const CarriedVersions& carried);

// The plan in words, for the listing: "control firmware 1.12, default values, calibration data,
// video firmware 1.02, package version 2.07", or "nothing".
std::string planText(const UpdatePlan& plan, const CarriedVersions& carried);
