// The one clock of the system. Every sleep and every time-out (USB transfers, the attach wait,
// the device-list lock, the updaters' pauses, the emulated device's delays) goes through it, so
// that BVU_TIME_SCALE compresses host and device alike.
//
// BVU_TIME_SCALE: a positive decimal number (default 1) that multiplies every duration. A value
// that is not a positive number is refused: a message goes to standard error once and the scale
// stays 1. The variable is read once, on first use; all functions are thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/win32.h"

namespace bvu {
namespace clock {

// The scale in force (1 unless BVU_TIME_SCALE says otherwise).
double timeScale();

// A nominal duration in milliseconds as real milliseconds. INFINITE stays INFINITE; a non-zero
// duration never rounds down to 0.
uint32_t scaledMs(uint32_t nominalMs);

// Sleeps the calling thread for a nominal duration. 0 yields the rest of the time slice.
void sleepMs(uint32_t nominalMs);

// WaitForSingleObject with a nominal time-out (INFINITE waits forever).
DWORD waitMs(HANDLE handle, uint32_t nominalMs);

// Real monotonic time, and nominal durations converted to real ones, for code that keeps its
// own deadlines (the emulated device's timers, time-outs inside backends).
using TimePoint = std::chrono::steady_clock::time_point;
TimePoint now();
std::chrono::steady_clock::duration scaled(std::chrono::milliseconds nominal);

// Nominal milliseconds elapsed between two real time points (the inverse of scaled()).
double nominalMsBetween(TimePoint from, TimePoint to);

// Parses a BVU_TIME_SCALE text; false (and an explanation in *why) when it is not a positive
// finite decimal number. Exposed for tests.
bool parseTimeScale(const std::string& text, double* scale, std::string* why);

// Tests: replaces the scale in force (the environment is not read again).
void setTimeScaleForTests(double scale);

}  // namespace clock
}  // namespace bvu
