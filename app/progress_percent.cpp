#include "app/progress_percent.h"

#include <cmath>

int progressPercent(float fraction) {
    // In double, so that the float's exact value is what gets rounded.
    const double percent = std::floor(static_cast<double>(fraction) * 100.0 + 0.5);
    if (!(percent > 0.0)) {
        return 0;
    }
    if (percent > 100.0) {
        return 100;
    }
    return static_cast<int>(percent);
}
