// The updater's main dialog (template IDD_UPDATE): the device's identity and versions, the
// progress bar and status bar, and the Update, Exit, NTSC and PAL buttons. It starts the
// inspection worker when it opens and the update worker on the Update command, and reacts to
// their final messages (messages.h). In batch mode it presses Update by itself after a
// successful inspection and Exit after the update run or a failed inspection.
//
// Only Exit ends the dialog (Escape and the close box do nothing), and not while the update
// runs. NTSC and PAL are disabled while a worker uses the device, since the session serves one
// requesting thread at a time.
//
// Errors: an error from a device request that the dialog makes on the GUI thread (the
// inspection's reads, NTSC, PAL, writing the package version) ends the dialog; it is kept in
// mainDialogState().pendingError for the entry code to report.
#pragma once

#include "app/window_api.h"

INT_PTR CALLBACK mainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
