// The settings of one updater run, taken from the command line.
//
// One record per process. Every field but the last is written by the command-line parser on
// the main thread before the dialog exists; unit is written by the dialog (GUI thread) at the
// inspection, before any update worker is started. Workers only read them, after the BVThread
// that runs them has been created, so no lock is needed.
#pragma once

#include "app/update_plan.h"

struct UpdateSettings {
    bool batchMode = false;             // -batch: no questions, update and exit by themselves
    int calibrationMode = 0;            // -calib sets 1, -nocalib 0; calibration runs only at 1
    bool updateControlFirmware = true;  // -nomicro clears it
    bool updateVideoFirmware = true;    // -nofpga clears it
    float correctionFactor = 1.0f;      // -correction <value>, a finite number above 0
    bool correctionGiven = false;       // the factor goes to the calibration updater only then
    bool verifyControlFirmware = true;  // -noverify clears it: no read-back of the control flash
    // What the inspection found on the unit; the run's plan follows from it (update_plan.h).
    UnitFacts unit;
};

// The process's record. Tests may assign a fresh UpdateSettings to it between cases.
UpdateSettings& updateSettings();
