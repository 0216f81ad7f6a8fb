#include "app/update_plan.h"

#include <vector>

#include "app/update_question.h"
#include "app/update_settings.h"

UpdatePlan planUpdate(const UpdateSettings& settings, const UnitFacts& unit,
                      const CarriedVersions& carried) {
    UpdatePlan plan;
    // A unit without a complete control firmware can do nothing else: it gets it even with
    // -nomicro.
    plan.control = settings.updateControlFirmware || unit.controlIncomplete;
    if (unit.controlIncomplete) {
        plan.defaults = UpdatePlan::Defaults::IfOwed;
    } else if (unit.defaultsOwed) {
        // Owed since an interrupted run; programmed once the new control firmware runs: after
        // this run's control step, or at once when the unit runs a current one already.
        plan.defaults = plan.control || !isOldControlFirmware(unit.control)
                            ? UpdatePlan::Defaults::Yes
                            : UpdatePlan::Defaults::No;
    } else if (plan.control && isOldControlFirmware(unit.control)) {
        plan.defaults = UpdatePlan::Defaults::Yes;
        plan.markDefaults = true;
    }
    plan.calibration = settings.calibrationMode == 1;
    plan.video = settings.updateVideoFirmware;
    plan.packageVersion = packageVersionDue(plan.control ? carried.control : unit.control,
                                            plan.video ? carried.video : unit.video, carried);
    return plan;
}

bool recoveredUnitOwesDefaults(bool marked, const std::string& package) {
    return marked || !isPackageVersion(package);
}

bool isPackageVersion(const std::string& text) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return text.size() == 4 && digit(text[0]) && text[1] == '.' && digit(text[2]) && digit(text[3]);
}

bool packageVersionDue(const std::string& control, const std::string& video,
                       const CarriedVersions& carried) {
    return control == carried.control && video == carried.video;
}

std::string planText(const UpdatePlan& plan, const CarriedVersions& carried) {
    std::vector<std::string> steps;
    if (plan.control)
        steps.push_back("control firmware " + carried.control);
    if (plan.defaults == UpdatePlan::Defaults::Yes)
        steps.push_back("default values");
    else if (plan.defaults == UpdatePlan::Defaults::IfOwed)
        steps.push_back("default values if the unit owes them");
    if (plan.calibration)
        steps.push_back("calibration data");
    if (plan.video)
        steps.push_back("video firmware " + carried.video);
    if (plan.packageVersion)
        steps.push_back("package version " + carried.package);
    if (steps.empty())
        return "nothing";
    std::string text;
    for (const std::string& step : steps) text += (text.empty() ? "" : ", ") + step;
    return text;
}
