#include "app/device_check.h"

#include "app/program_version.h"
#include "update/owed_defaults.h"
#include "update/usbtarselupdater.h"
#include "usb/units.h"
#include "usb/usbutils.h"

InspectionOutcome inspectUnit() {
    InspectionOutcome outcome;
    try {
        USBUtils& usb = USBUtils::instance();
        if (!usb.startApplicationIfComplete(1)) {
            outcome.kind = InspectionOutcome::Kind::Incomplete;
            return outcome;
        }
        usb.getDeviceStatus();  // the answer itself does not matter, only that there is one
        outcome.kind = InspectionOutcome::Kind::Answered;
    } catch (...) {
        outcome.kind = InspectionOutcome::Kind::Failed;
        outcome.error = std::current_exception();
    }
    return outcome;
}

InspectedUnit readUnit(USBUtils& usb) {
    InspectedUnit unit;
    UnitRecord& record = unit.record;
    UnitFacts& facts = unit.facts;
    record.serial = "3014-00" + usb.serialNumber();
    record.videoStandard = usb.isNTSC() ? "NTSC" : "PAL";
    record.pcbRevision = usb.pcbRevision();
    const bvu::owed_defaults::PackageField package = bvu::owed_defaults::readPackageField(usb);
    facts.defaultsOwed = package.marked;
    facts.package = package.text;
    record.package = package.marked ? kPackageIncomplete : package.text;
    facts.video = usb.videoFirmwareVersion();
    record.video = facts.video;
    bool complete = false;
    facts.control = usb.controlFirmwareVersion(&complete);
    if (!complete)
        throw USBUtils::Error("The control firmware version came incomplete.");
    record.control = facts.control;
    return unit;
}

CarriedVersions carriedVersions() {
    CarriedVersions carried;
    carried.control = USBTarselUpdater<1>().version();
    carried.video = USBTarselUpdater<0>().version();
    carried.package = programVersionText();
    return carried;
}

std::string secondDeviceNotice() {
    try {
        const USBUtils& session = USBUtils::instance();
        return session.refusedDevices() > 0 ? bvu::usb::secondDeviceText(session.otherUnits())
                                            : std::string();
    } catch (const BVExBase&) {
        return std::string();  // no session: nothing was refused
    }
}
