// Identifiers for controls.rc.
#pragma once

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
// Defined by <windows.h>: the lines up to #endif do not count.
#ifndef WS_POPUP
#define WS_POPUP 1
#define IDD_PLAIN 199
#endif

#define IDD_PLAIN 200
#define IDD_STYLED 201
#define IDI_TEST 202
#define IDC_FIRST ((300))
