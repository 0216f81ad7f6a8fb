#include "app/inspection.h"

#include "app/program_version.h"
#include "update/usbtarselupdater.h"
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

UnitRecord readUnit(USBUtils& usb) {
    UnitRecord unit;
    unit.serial = "3014-00" + usb.serialNumber();
    unit.videoStandard = usb.isNTSC() ? "NTSC" : "PAL";
    unit.pcbRevision = usb.pcbRevision();
    unit.package = usb.firmwareVersion();
    unit.video = usb.videoFirmwareVersion();
    unit.control = usb.controlFirmwareVersion();
    return unit;
}

CarriedVersions carriedVersions() {
    CarriedVersions carried;
    carried.control = USBTarselUpdater<1>().version();
    carried.video = USBTarselUpdater<0>().version();
    carried.package = programVersionText();
    return carried;
}
