// InitThread: the first half of the device inspection, on a worker thread. It brings the device
// into run mode (a device found in its bootloader is told to start its application) and checks
// that it answers, then tells the dialog with one posted message: WM_INIT_OK, or WM_INIT_FAILED
// after it has shown an error box (no owner window, so the dialog stays usable meanwhile). When
// the dialog has already been closed, it shows no box and posts nothing.
//
// A device found in its bootloader with the start-up bit on the bootloader has no complete
// control firmware (an interrupted update, or none ever written): its application is not
// started (the device would leave the bus until power-cycled), and the worker posts
// WM_INIT_INCOMPLETE instead of WM_INIT_OK, leaving the device in its bootloader.
//
// Threads: run() is the worker's; it reaches the device only through USBUtils::instance() and
// the dialog only through PostMessageA. It never throws.
#pragma once

#include "app/window_api.h"
#include "thread/bvthread.h"

class InitThread : public BVThread::Exec {
  public:
    explicit InitThread(HWND dialog) : dialog_(dialog) {}
    ~InitThread() override = default;

    void run() override;

  private:
    HWND dialog_;
};
