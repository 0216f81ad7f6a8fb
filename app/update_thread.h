// The update run: one worker that runs, in their fixed order, the control firmware, the
// default values (when the unit owes them: update_plan.h), the calibration data and the video
// firmware, as the plan for the settings and the inspected unit says. A run that owes the default
// values leaves the owed-defaults mark on the unit before its first write and takes it away once
// they are programmed (update/owed_defaults.h). Each step shows its title in the
// status bar and reports through a ProgressReport; an error ends the run at once with one
// "Update Error" box (owned by the dialog) that gives the cause and advice. The run ends with
// WM_UPDATE_OK or, after the box has been closed, WM_UPDATE_FAILED.
//
// Threads: run() is the worker's. It changes the dialog's controls only through SendMessageA
// and SetDlgItemTextA (synchronous) and reports its end with PostMessageA, after which it sends
// nothing more. It never throws.
#pragma once

#include <boost/shared_ptr.hpp>

#include "app/window_api.h"
#include "thread/bvthread.h"

class UpdateThread : public BVThread::Exec {
  public:
    UpdateThread(HWND dialog, HWND statusBar) : dialog_(dialog), statusBar_(statusBar) {}
    ~UpdateThread() override = default;

    void run() override;

  private:
    void setStatus(const char* text);
    void setProgress(int percent);

    HWND dialog_;
    HWND statusBar_;
};

// Builds the UpdateThread for the dialog's Update command; used only while the BVThread is
// constructed.
class UpdateThreadFactory : public BVThread::ExecFactory {
  public:
    UpdateThreadFactory(HWND dialog, HWND statusBar) : dialog_(dialog), statusBar_(statusBar) {}
    ~UpdateThreadFactory() override = default;

    boost::shared_ptr<BVThread::Exec> create() override;

  private:
    HWND dialog_;
    HWND statusBar_;
};
