// What the inspection concludes from the versions it read: the one question to ask before an
// update, and whether the device's control firmware is old enough to need its default values
// programmed. Texts compare as strings, byte by byte (so "1.2" counts as newer than "1.02").
#pragma once

#include <string>

struct InspectedVersions {
    std::string package;         // F: the package version stored in the device
    std::string video;           // V: the device's video firmware
    std::string control;         // C: the device's control firmware
    std::string program;         // P: programVersionText()
    std::string carriedVideo;    // Vu: what the program would write
    std::string carriedControl;  // Cu
};

// The confirmation question for these versions, or "" when none is due. The first rule that
// holds decides: same package, newer package, newer video firmware, newer control firmware.
std::string inspectionQuestion(const InspectedVersions& versions);

// True when the control firmware reads below "1.10": such a device needs its default values
// programmed after the control firmware update.
bool isOldControlFirmware(const std::string& controlVersion);
