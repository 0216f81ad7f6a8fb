#include "platform/window/box_buttons.h"

#include <strings.h>

#include <algorithm>

namespace bvu {
namespace window {

std::vector<int> boxButtons(UINT type) {
    switch (type & MB_TYPEMASK) {
        case MB_OKCANCEL:
            return {IDOK, IDCANCEL};
        case MB_ABORTRETRYIGNORE:
            return {IDABORT, IDRETRY, IDIGNORE};
        case MB_YESNOCANCEL:
            return {IDYES, IDNO, IDCANCEL};
        case MB_YESNO:
            return {IDYES, IDNO};
        case MB_RETRYCANCEL:
            return {IDRETRY, IDCANCEL};
        case MB_CANCELTRYCONTINUE:
            return {IDCANCEL, IDTRYAGAIN, IDCONTINUE};
        default:
            return {IDOK};
    }
}

int defaultButton(UINT type) {
    std::vector<int> buttons = boxButtons(type);
    size_t index = (type & MB_DEFMASK) >> 8;
    return index < buttons.size() ? buttons[index] : buttons.front();
}

int escapeButton(UINT type) {
    std::vector<int> buttons = boxButtons(type);
    if (std::find(buttons.begin(), buttons.end(), IDCANCEL) != buttons.end())
        return IDCANCEL;
    return buttons.size() == 1 ? buttons.front() : 0;
}

namespace {
const struct {
    int button;
    const char* name;
    const char* scriptName;
} kNames[] = {{IDOK, "OK", "ok"},
              {IDCANCEL, "Cancel", "cancel"},
              {IDABORT, "Abort", "abort"},
              {IDRETRY, "Retry", "retry"},
              {IDIGNORE, "Ignore", "ignore"},
              {IDYES, "Yes", "yes"},
              {IDNO, "No", "no"},
              {IDTRYAGAIN, "Try Again", "tryagain"},
              {IDCONTINUE, "Continue", "continue"}};
}  // namespace

const char* buttonName(int button) {
    for (const auto& n : kNames) {
        if (n.button == button)
            return n.name;
    }
    return "?";
}

bool buttonFromName(const std::string& name, int* button) {
    for (const auto& n : kNames) {
        if (strcasecmp(n.scriptName, name.c_str()) == 0) {
            *button = n.button;
            return true;
        }
    }
    return false;
}

}  // namespace window
}  // namespace bvu
