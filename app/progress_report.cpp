#include "app/progress_report.h"

#include "app/progress_percent.h"
#include "app/run_report.h"

ProgressReport::ProgressReport(HWND progressBar, HWND statusBar, const std::string& prefix)
    : progressBar_(progressBar), statusBar_(statusBar), prefix_(prefix) {
    // A progress bar shows no text; as its label the step reaches the headless front end's lines.
    SetWindowTextA(progressBar_, prefix_.c_str());
    report::stepStarted(prefix_);
}

void ProgressReport::progress(float fraction) {
    const int percent = progressPercent(fraction);
    SendMessageA(progressBar_, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
    report::progress(prefix_, percent);
}

void ProgressReport::status(const std::string& message) {
    const std::string text = prefix_ + ": " + message;
    SendMessageA(statusBar_, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(text.c_str()));
    report::status(text);
}
