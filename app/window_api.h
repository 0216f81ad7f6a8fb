// The window API the updater uses: the real Win32 names (dialogs, common controls, message
// boxes, cursors, icons, window messages). On Windows it is <windows.h> with <commctrl.h>; on
// POSIX the platform layer's implementation of the same subset, with the same threading rules
// (a cross-thread SendMessageA waits until the window's thread has handled it).
#pragma once

#include "platform/win32_window.h"
