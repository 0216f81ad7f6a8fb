#include "app/unit_list.h"

#include <iostream>
#include <string>

#include "app/command_line.h"
#include "app/console_output.h"
#include "app/device_check.h"
#include "app/update_plan.h"
#include "app/update_settings.h"
#include "update/owed_defaults.h"
#include "usb/device_advice.h"
#include "usb/units.h"

namespace {

// What a batch run with these settings would write to the unit as it was read.
std::string plannedWrites(const bvu::usb::UnitReading& unit, bool defaultsOwed,
                          const UpdateSettings& settings, const CarriedVersions& carried) {
    UnitFacts facts;
    if (unit.unit.bootloader) {
        // A complete control firmware is started first; what follows depends on its versions.
        if (!unit.startupKnown || !unit.controlIncomplete)
            return "what its versions call for once its application runs";
        facts.controlIncomplete = true;
    } else {
        facts.control = unit.control;
        facts.video = unit.video;
        facts.defaultsOwed = defaultsOwed;
    }
    return planText(planUpdate(settings, facts, carried), carried);
}

}  // namespace

int listUnits(const ProgramRequests& requests, const UpdateSettings& settings) {
    std::string out;
    std::string errors;
    int code = 0;
    try {
        const CarriedVersions carried = carriedVersions();
        for (const bvu::usb::PresentUnit& unit :
             bvu::usb::unitsToList({requests.device, requests.serial})) {
            // The package version field may hold the owed-defaults mark instead of a version.
            bool defaultsOwed = false;
            const bvu::usb::UnitReading reading = bvu::usb::readUnit(
                unit, [&defaultsOwed](USBUtils& session, bvu::usb::UnitReading& r) {
                    const bvu::owed_defaults::PackageField field =
                        bvu::owed_defaults::readPackageField(session);
                    defaultsOwed = field.marked;
                    r.package = field.marked ? kPackageIncomplete : field.text;
                });
            const std::string writes = reading.error.empty()
                                           ? plannedWrites(reading, defaultsOwed, settings, carried)
                                           : "";
            out += (requests.json ? bvu::usb::unitJson(reading, writes)
                                  : bvu::usb::unitLine(reading, writes)) +
                   "\n";
            if (!reading.error.empty())
                code = 1;
        }
        if (out.empty() && !requests.json)
            out = "No unit is connected.\n";
    } catch (const USBUtils::Error& e) {
        errors = "USB error: " + e.message() + "\n";
        code = 1;
    } catch (const BVExBase& e) {
        errors = e.message() + "\n";
        code = 1;
    }
    const std::string advice = code != 0 ? bvu::usb::unusableDeviceAdvice() : "";
    if (!advice.empty())
        errors += advice + "\n";
    // The listing on standard output, what went wrong on standard error; a Windows program
    // started without a console shows both in one box instead.
    if (connectStandardOutput() || requests.json) {
        std::cout << out << std::flush;
        std::cerr << errors << std::flush;
    } else {
        showProgramText(out + errors, "Brevicor Update Utility");
    }
    return code;
}
