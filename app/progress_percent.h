// The progress bar shows whole percent of the current phase, rounded half up.
#pragma once

// floor(fraction * 100 + 0.5), limited to 0 ... 100; a fraction that is not a number gives 0.
int progressPercent(float fraction);
