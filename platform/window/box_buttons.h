// The buttons of a message box by its type (MB_OK ... MB_CANCELTRYCONTINUE), which one is the
// default, and their names. Pure functions; any thread.
#pragma once

#include <string>
#include <vector>

#include "platform/win32_window.h"

namespace bvu {
namespace window {

// In the order Windows shows them, as results (IDOK, IDYES...). An unknown button set is OK.
std::vector<int> boxButtons(UINT type);

// The default button: the one MB_DEFBUTTONn names, or the first when the box has fewer buttons.
int defaultButton(UINT type);

// The button that Escape (or closing the box) chooses: Cancel when there is one, OK for an
// OK-only box; 0 when the box cannot be dismissed that way (Yes/No, Abort/Retry/Ignore).
int escapeButton(UINT type);

// "OK", "Cancel", "Abort", "Retry", "Ignore", "Yes", "No", "Try Again", "Continue"; "?" otherwise.
const char* buttonName(int button);

// Script names, case-insensitive: ok, cancel, abort, retry, ignore, yes, no, tryagain, continue.
bool buttonFromName(const std::string& name, int* button);

}  // namespace window
}  // namespace bvu
