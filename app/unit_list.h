// updater -list: every unit on the bus (or the one -device or -serial names), one line each, or
// with -json one JSON object each: where it is plugged, its guise, what it holds, and what
// `updater -batch` with the same options would write to it. Nothing is written to any unit.
#pragma once

struct ProgramRequests;
struct UpdateSettings;

// Writes the listing to standard output (on Windows: the console the program was started from,
// or a message box) and returns the exit code: 0, or 1 when the USB access failed, a unit could
// not be read, or -device or -serial named no unit. Main thread, while no USB session lives.
int listUnits(const ProgramRequests& requests, const UpdateSettings& settings);
