#include "app/update_question.h"

std::string inspectionQuestion(const InspectedVersions& v) {
    if (v.package == v.program) {
        return "The unit is already up-to-date.\nDo you wish to download the firmware anyway?";
    }
    if (v.package > v.program) {
        return "The unit contains a more recent version\nof the firmware. Do you wish to perform "
               "a downgrade?";
    }
    if (v.video > v.carriedVideo) {
        return "The unit contains a more recent version\nof the video firmware. Proceeding with "
               "the update\nwill downgrade this firmware. Do you wish to update?";
    }
    if (v.control > v.carriedControl) {
        return "The unit contains a more recent version\nof the control firmware. Proceeding "
               "with the update\nwill downgrade this firmware. Do you wish to update?";
    }
    return "";
}

bool isOldControlFirmware(const std::string& controlVersion) {
    return controlVersion < "1.10";
}
