// The program's own version and its text, which is shown in the title bar, compared with the
// package version stored in the device and written into the device after a successful update.
#pragma once

#include <string>

constexpr double kProgramVersion = 2.071;

// "major.minor": major = floor(v + 0.001), minor = floor(100 v + 0.001) - 100 major, the minor
// number with at least two digits (2.071 gives "2.07").
std::string versionText(double version);

// versionText(kProgramVersion), built once; safe to call from any thread.
const std::string& programVersionText();
