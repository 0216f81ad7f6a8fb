// The window messages between the updater's workers and its main dialog. Each is posted to the
// dialog with wParam 0 and lParam 0, exactly once per worker, as the worker's last word; only
// WM_UPDATE_OK carries a wParam: 1 when the unit now holds every firmware of the package, so
// that it is given the package version.
#pragma once

#include "app/window_api.h"

constexpr UINT WM_INIT_OK = WM_USER + 1;        // InitThread: the device answered
constexpr UINT WM_INIT_FAILED = WM_USER + 2;    // InitThread, after its error box
constexpr UINT WM_UPDATE_OK = WM_USER + 3;      // UpdateThread: every enabled step succeeded
constexpr UINT WM_UPDATE_FAILED = WM_USER + 4;  // UpdateThread, after its "Update Error" box
// InitThread: the device waits in its bootloader with an incomplete control firmware
constexpr UINT WM_INIT_INCOMPLETE = WM_USER + 5;
