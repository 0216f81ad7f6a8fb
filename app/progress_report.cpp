#include "app/progress_report.h"

#include "app/progress_percent.h"

ProgressReport::ProgressReport(HWND progressBar, HWND statusBar, const std::string& prefix)
    : progressBar_(progressBar), statusBar_(statusBar), prefix_(prefix) {}

void ProgressReport::progress(float fraction) {
    SendMessageA(progressBar_, PBM_SETPOS, static_cast<WPARAM>(progressPercent(fraction)), 0);
}

void ProgressReport::status(const std::string& message) {
    const std::string text = prefix_ + ": " + message;
    SendMessageA(statusBar_, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(text.c_str()));
}
