// ProgressReport: shows an updater's progress and status lines in the main dialog's progress
// bar and status bar, and gives them to the run's report (run_report.h).
//
// Threads: called on the update worker; each call is a synchronous SendMessageA, so it returns
// once the dialog's thread has handled it. The dialog never waits for the worker before the
// worker's final message, so these sends always complete.
#pragma once

#include <string>

#include "app/window_api.h"
#include "update/usbupdater.h"

class ProgressReport : public USBUpdater::Notifier {
  public:
    // prefix: the step's title, copied; it becomes the progress bar's label (window text).
    ProgressReport(HWND progressBar, HWND statusBar, const std::string& prefix);
    ~ProgressReport() override = default;

    // The bar shows whole percent, rounded half up (progressPercent).
    void progress(float fraction) override;
    // The status bar shows "<prefix>: <message>".
    void status(const std::string& message) override;

  private:
    HWND progressBar_;
    HWND statusBar_;
    std::string prefix_;
};
