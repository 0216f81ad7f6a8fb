#include "app/program_version.h"

#include <cmath>
#include <cstdio>

std::string versionText(double version) {
    // The 0.001 guards against the binary representation of a decimal like 2.07 falling just
    // below it.
    const long major = static_cast<long>(std::floor(version + 0.001));
    const long minor = static_cast<long>(std::floor(100.0 * version + 0.001)) - 100 * major;
    char text[48];
    std::snprintf(text, sizeof text, "%ld.%02ld", major, minor);
    return text;
}

const std::string& programVersionText() {
    static const std::string text = versionText(kProgramVersion);
    return text;
}
