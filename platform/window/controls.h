// Behaviour of the controls the layer knows (buttons, static texts, progress bar, status bar) and
// of the resources and classes around them. Internal to platform/window/.
#pragma once

#include <string>
#include <vector>

#include "platform/window/window_state.h"

namespace bvu {
namespace window {

// Handles a message to a control on its state (the caller holds the core's lock). Returns the
// message's result and appends what changed to changes. Messages a control does not know return 0.
LRESULT controlMessage(Window& control, UINT message, WPARAM wParam, LPARAM lParam,
                       std::vector<Change>* changes);

// For an auto radio button that is being clicked: checks it and unchecks the other radio buttons
// of its group. The group runs from the nearest control at or before it with WS_GROUP (or the
// first control) to the control before the next one with WS_GROUP. siblings: the dialog's
// controls in order.
void checkRadioInGroup(const std::vector<Window*>& siblings, Window& clicked,
                       std::vector<Change>* changes);

// Window kind for a class name (case-insensitive); false when the layer does not know it.
bool kindOfClass(const std::string& className, Kind* kind);

// Whether a class can be used: BUTTON and STATIC always, the common controls after
// InitCommonControlsEx has registered them.
bool classRegistered(const std::string& className);

// Copies text into a caller's buffer as WM_GETTEXT does; returns the characters copied.
LRESULT copyText(const std::string& text, WPARAM size, LPARAM buffer);

// The system cursor set by default handling of WM_SETCURSOR.
HCURSOR arrowCursor();

}  // namespace window
}  // namespace bvu
