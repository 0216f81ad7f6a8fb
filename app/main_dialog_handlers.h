// Pieces of the main dialog procedure shared by its source files. GUI thread only.
#pragma once

#include "app/dialog_state.h"
#include "app/window_api.h"

class USBUtils;

namespace main_dialog {

// The status bar's text (its one part).
void setStatusText(const MainDialogState& state, const char* text);
// Enables or disables the NTSC and PAL buttons together.
void enableVideoStandardButtons(HWND dialog, bool enable);

// WM_INIT_OK: the device answered; read and show what it holds, ask at most one question and
// offer the update (or, in batch mode, start it).
INT_PTR onInitOk(HWND dialog, MainDialogState& state, USBUtils& usb);
// WM_INIT_FAILED: the worker has shown its error box.
INT_PTR onInitFailed(HWND dialog, MainDialogState& state);
// WM_INIT_INCOMPLETE: the device waits in its bootloader without a complete control firmware;
// offer (or, in batch mode, start) the update that writes it, without a question.
INT_PTR onInitIncomplete(HWND dialog, MainDialogState& state);

}  // namespace main_dialog
