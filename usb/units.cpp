#include "usb/units.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "usb/location.h"

namespace bvu {
namespace usb {
namespace {

constexpr uint16_t kVendorId = 0x03EB;
constexpr uint16_t kRunModeProductId = 0x3014;
constexpr uint16_t kBootloaderProductId = 0x2FFD;
constexpr uint32_t kDfuError = 10;  // dfuERROR

const char* const kListHint = "-list shows the units connected";

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

const PresentUnit* unitAt(const std::vector<PresentUnit>& units, const std::string& location) {
    for (const PresentUnit& unit : units) {
        if (sameLocation(unit.location, location))
            return &unit;
    }
    return nullptr;
}

// The serial number of the run-mode unit there, through a session that opens nothing else.
std::string serialAt(const std::string& location) {
    USBUtils::UnitChoice only;
    only.location = location;
    USBUtils session(only);
    return session.serialNumber();
}

}  // namespace

std::vector<PresentUnit> presentUnits() {
    const UDA_MatchTable tables[2] = {{kVendorId, kRunModeProductId, 0, 0, 0, 0, 0, 0},
                                      {kVendorId, kBootloaderProductId, 0, 0, 0, 0, 0, 0}};
    std::vector<UDA_PresentDevice> devices;
    // The same words as the session's when the driver cannot be opened: it is the same failure.
    USBUtils::checkStatus(UDA_ListDevices(tables, 2, &devices),
                          "Could not initialise USB driver: ");
    std::vector<PresentUnit> units;
    for (const UDA_PresentDevice& d : devices) {
        // Both guises at one place at once: a unit caught in its re-enumeration by a host that
        // reported the departure late. It is one unit all the same.
        if (unitAt(units, d.location) == nullptr)
            units.push_back(PresentUnit{d.location, d.productId == kBootloaderProductId});
    }
    std::sort(units.begin(), units.end(), [](const PresentUnit& a, const PresentUnit& b) {
        return locationBefore(a.location, b.location);
    });
    return units;
}

std::string unitText(const std::string& location, bool bootloader) {
    return (location.empty() ? std::string("an unknown location") : location) +
           (bootloader ? " (bootloader)" : " (run mode)");
}

std::string unitsText(const std::vector<PresentUnit>& units) {
    std::string text;
    for (const PresentUnit& unit : units)
        text += (text.empty() ? "" : ", ") + unitText(unit.location, unit.bootloader);
    return text.empty() ? "none" : text;
}

std::string secondDeviceText(const std::vector<USBUtils::OtherUnit>& others) {
    std::string text =
        "A second device is connected and was ignored; connect one device at a time.";
    std::string where;
    for (const USBUtils::OtherUnit& other : others)
        where += (where.empty() ? "" : ", ") + unitText(other.location, other.bootloader);
    if (!where.empty())
        text += " Ignored: " + where + ".";
    return text;
}

USBUtils::UnitChoice chooseUnit(const UnitRequest& request, bool refuseSeveral) {
    const std::vector<PresentUnit> units = presentUnits();
    USBUtils::UnitChoice choice;
    choice.serial = request.serial;
    if (!request.location.empty()) {
        const PresentUnit* unit = unitAt(units, request.location);
        if (unit == nullptr) {
            throw UnitChoiceError("No unit is connected at USB location " +
                                  quoted(request.location) + ". Connected: " + unitsText(units) +
                                  "; " + kListHint + ".");
        }
        choice.location = unit->location;
        if (!request.serial.empty() && !unit->bootloader) {
            const std::string serial = serialAt(unit->location);
            if (serial != request.serial) {
                throw UnitChoiceError("The unit at USB location " + quoted(unit->location) +
                                      " has serial number " + quoted(serial) + ", not " +
                                      quoted(request.serial) + ".");
            }
        }
        return choice;
    }
    if (!request.serial.empty()) {
        std::string seen;
        for (const PresentUnit& unit : units) {
            std::string text = unitText(unit.location, unit.bootloader);
            if (!unit.bootloader) {
                const std::string serial = serialAt(unit.location);
                if (serial == request.serial) {
                    choice.location = unit.location;
                    return choice;
                }
                text.insert(text.size() - 1, ", serial " + serial);
            }
            seen += (seen.empty() ? "" : ", ") + text;
        }
        throw UnitChoiceError(
            "No unit with serial number " + quoted(request.serial) +
            " is connected in run mode. Connected: " + (seen.empty() ? "none" : seen) +
            ". A unit in its bootloader does not tell its serial number: pick it by where it is "
            "plugged, with -device LOCATION; " +
            kListHint + ".");
    }
    if (units.size() > 1 && refuseSeveral) {
        throw UnitChoiceError("Several units are connected: " + unitsText(units) +
                              ". Pick one with -device LOCATION or -serial NUMBER; " + kListHint +
                              ".");
    }
    if (!units.empty()) {
        // The session follows it and names the others; it opens them only to refuse them.
        choice.location = units.front().location;
        choice.exclusive = false;
    }
    return choice;
}

std::vector<PresentUnit> unitsToList(const UnitRequest& request) {
    if (request.location.empty() && request.serial.empty())
        return presentUnits();
    const USBUtils::UnitChoice choice = chooseUnit(request, false);
    for (const PresentUnit& unit : presentUnits()) {
        if (sameLocation(unit.location, choice.location))
            return {unit};
    }
    return {};  // gone meanwhile
}

UnitReading readUnit(const PresentUnit& unit, const PackageReader& readPackage) {
    UnitReading reading;
    reading.unit = unit;
    try {
        USBUtils::UnitChoice only;
        only.location = unit.location;
        USBUtils session(only);
        // It may have changed its guise since it was listed.
        if (session.isBootloaderPresent()) {
            reading.unit.bootloader = true;
            if (session.dfuGetStatus().state != kDfuError) {
                reading.controlIncomplete = session.bootloaderFlag();
                reading.startupKnown = true;
            }
        } else {
            reading.unit.bootloader = false;
            reading.serial = session.serialNumber();
            reading.pcbRevision = session.pcbRevision();
            if (readPackage)
                readPackage(session, reading);
            else
                reading.package = session.firmwareVersion();
            reading.video = session.videoFirmwareVersion();
            bool complete = true;
            reading.control = session.controlFirmwareVersion(&complete);
            // What an update would write depends on it: a part of it is no version.
            if (!complete)
                throw USBUtils::Error("The control firmware version came incomplete.");
            reading.videoStandard = session.isNTSC() ? "NTSC" : "PAL";
        }
    } catch (const BVExBase& e) {
        reading.error = e.message();
    }
    return reading;
}

std::string unitLine(const UnitReading& r, const std::string& writes) {
    std::string line =
        (r.unit.location.empty() ? std::string("(unknown location)") : r.unit.location) + ": " +
        (r.unit.bootloader ? "bootloader" : "run mode");
    if (!r.error.empty())
        return line + ", could not be read: " + r.error;
    if (r.unit.bootloader) {
        line += !r.startupKnown ? ", control firmware unknown (the bootloader reports an error)"
                : r.controlIncomplete
                    ? ", control firmware incomplete"
                    : ", control firmware complete (its versions show in run mode)";
    } else {
        line += ", serial " + r.serial + ", PCB revision " + r.pcbRevision + ", package " +
                r.package + ", video firmware " + r.video + ", control firmware " + r.control +
                ", " + r.videoStandard;
    }
    if (!writes.empty())
        line += "; an update writes: " + writes;
    return line;
}

std::string unitJson(const UnitReading& r, const std::string& writes) {
    using Json = nlohmann::ordered_json;
    const bool run = r.error.empty() && !r.unit.bootloader;
    auto text = [run](const std::string& value) { return run ? Json(value) : Json(nullptr); };
    Json j;
    j["location"] = r.unit.location;
    j["guise"] = r.unit.bootloader ? "bootloader" : "run";
    j["serial"] = text(r.serial);
    j["pcbRevision"] = text(r.pcbRevision);
    j["package"] = text(r.package);
    j["video"] = text(r.video);
    j["control"] = text(r.control);
    j["videoStandard"] = text(r.videoStandard);
    j["controlIncomplete"] = r.error.empty() && r.unit.bootloader && r.startupKnown
                                 ? Json(r.controlIncomplete)
                             : run ? Json(false)
                                   : Json(nullptr);
    if (!writes.empty())
        j["writes"] = writes;
    j["error"] = r.error.empty() ? Json(nullptr) : Json(r.error);
    // Device texts are bytes as the device holds them: invalid UTF-8 is replaced.
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace usb
}  // namespace bvu
