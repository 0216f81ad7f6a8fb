#include "platform/window/controls.h"

#include <strings.h>
#include <algorithm>
#include <cstring>

namespace bvu {
namespace window {
namespace {

Change makeChange(const Window& w, Change::What what) {
    Change c;
    c.what = what;
    c.window = w.handle;
    c.dialog = w.parent;
    c.id = w.id;
    return c;
}

void setCheck(Window& w, int check, std::vector<Change>* changes) {
    if (w.check == check)
        return;
    w.check = check;
    changes->push_back(makeChange(w, Change::Check));
}

bool isRadio(const Window& w) {
    uint32_t type = w.style & BS_TYPEMASK;
    return w.kind == Kind::Button && (type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON);
}

Change progressChange(const Window& w) {
    Change c = makeChange(w, Change::Progress);
    c.text = w.text;  // a bar may carry a label (its window text), e.g. the step it shows
    c.low = w.low;
    c.high = w.high;
    c.pos = w.pos;
    return c;
}

LRESULT setPosition(Window& w, int pos, std::vector<Change>* changes) {
    int old = w.pos;
    pos = std::max(w.low, std::min(w.high, pos));
    if (pos != w.pos) {
        w.pos = pos;
        changes->push_back(progressChange(w));
    }
    return old;
}

LRESULT setRange(Window& w, int low, int high, std::vector<Change>* changes) {
    LRESULT old = MAKELONG(w.low, w.high);
    w.low = low;
    w.high = high;
    // Win32 keeps the position inside the new range.
    w.pos = std::max(low, std::min(high, w.pos));
    changes->push_back(progressChange(w));
    return old;
}

LRESULT setPartText(Window& w, size_t part, const char* text, std::vector<Change>* changes) {
    if (part == SB_SIMPLEID)
        part = 0;  // simple mode is not kept apart
    if (part >= w.partTexts.size())
        return FALSE;
    std::string value = text != nullptr ? text : "";
    if (w.partTexts[part] != value) {
        w.partTexts[part] = value;
        Change c = makeChange(w, Change::StatusText);
        c.part = static_cast<int>(part);
        c.text = value;
        changes->push_back(c);
    }
    return TRUE;
}

LRESULT statusBarMessage(Window& w, UINT message, WPARAM wParam, LPARAM lParam,
                         std::vector<Change>* changes) {
    switch (message) {
        case SB_SETPARTS: {
            if (wParam == 0 || wParam > 256 || lParam == 0)
                return FALSE;
            const int* edges = reinterpret_cast<const int*>(lParam);
            w.parts.assign(edges, edges + wParam);
            w.partTexts.resize(wParam);
            changes->push_back(makeChange(w, Change::StatusParts));
            return TRUE;
        }
        case SB_GETPARTS: {
            if (lParam != 0) {
                int* edges = reinterpret_cast<int*>(lParam);
                for (size_t i = 0; i < std::min<size_t>(wParam, w.parts.size()); ++i) {
                    edges[i] = w.parts[i];
                }
            }
            return static_cast<LRESULT>(w.parts.size());
        }
        case SB_SETTEXTA:
            return setPartText(w, LOBYTE(wParam), reinterpret_cast<const char*>(lParam), changes);
        case SB_GETTEXTA:
        case SB_GETTEXTLENGTHA: {
            size_t part = LOBYTE(wParam);
            if (part >= w.partTexts.size())
                return 0;
            const std::string& text = w.partTexts[part];
            if (message == SB_GETTEXTA && lParam != 0) {
                std::memcpy(reinterpret_cast<char*>(lParam), text.c_str(), text.size() + 1);
            }
            return MAKELONG(text.size(), 0);
        }
        case WM_SETTEXT:  // a status bar shows its window text in part 0
            return setPartText(w, 0, reinterpret_cast<const char*>(lParam), changes);
        case WM_GETTEXT:
            return copyText(w.partTexts.empty() ? std::string() : w.partTexts[0], wParam, lParam);
        case WM_GETTEXTLENGTH:
            return w.partTexts.empty() ? 0 : static_cast<LRESULT>(w.partTexts[0].size());
        default:
            return 0;
    }
}

LRESULT progressMessage(Window& w, UINT message, WPARAM wParam, LPARAM lParam,
                        std::vector<Change>* changes) {
    switch (message) {
        case PBM_SETRANGE:
            return setRange(w, LOWORD(lParam), HIWORD(lParam), changes);
        case PBM_SETRANGE32:
            return setRange(w, static_cast<int>(wParam), static_cast<int>(lParam), changes);
        case PBM_SETPOS:
            return setPosition(w, static_cast<int>(wParam), changes);
        case PBM_DELTAPOS:
            return setPosition(w, w.pos + static_cast<int>(wParam), changes);
        case PBM_GETPOS:
            return w.pos;
        default:
            return 0;
    }
}

}  // namespace

LRESULT copyText(const std::string& text, WPARAM size, LPARAM buffer) {
    if (size == 0 || buffer == 0)
        return 0;
    size_t n = std::min<size_t>(text.size(), size - 1);
    char* out = reinterpret_cast<char*>(buffer);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return static_cast<LRESULT>(n);
}

LRESULT controlMessage(Window& w, UINT message, WPARAM wParam, LPARAM lParam,
                       std::vector<Change>* changes) {
    if (w.kind == Kind::StatusBar)
        return statusBarMessage(w, message, wParam, lParam, changes);
    if (w.kind == Kind::Progress) {
        LRESULT r = progressMessage(w, message, wParam, lParam, changes);
        if (message != WM_SETTEXT && message != WM_GETTEXT && message != WM_GETTEXTLENGTH) {
            return r;
        }
    }
    switch (message) {
        case WM_SETTEXT: {
            std::string value = lParam != 0 ? reinterpret_cast<const char*>(lParam) : "";
            if (value != w.text) {
                w.text = value;
                Change c = makeChange(w, Change::Text);
                c.text = value;
                changes->push_back(c);
            }
            return TRUE;
        }
        case WM_GETTEXT:
            return copyText(w.text, wParam, lParam);
        case WM_GETTEXTLENGTH:
            return static_cast<LRESULT>(w.text.size());
        case BM_SETCHECK:
            if (w.kind == Kind::Button)
                setCheck(w, static_cast<int>(wParam), changes);
            return 0;
        case BM_GETCHECK:
            return w.kind == Kind::Button ? w.check : 0;
        default:
            return 0;
    }
}

void checkRadioInGroup(const std::vector<Window*>& siblings, Window& clicked,
                       std::vector<Change>* changes) {
    auto at = std::find(siblings.begin(), siblings.end(), &clicked);
    if (at == siblings.end()) {
        setCheck(clicked, BST_CHECKED, changes);
        return;
    }
    auto first = at;
    while (first != siblings.begin() && ((*first)->style & WS_GROUP) == 0) --first;
    auto last = at + 1;
    while (last != siblings.end() && ((*last)->style & WS_GROUP) == 0) ++last;
    for (auto it = first; it != last; ++it) {
        if (*it != &clicked && isRadio(**it))
            setCheck(**it, BST_UNCHECKED, changes);
    }
    setCheck(clicked, BST_CHECKED, changes);
}

bool kindOfClass(const std::string& className, Kind* kind) {
    static const struct {
        const char* name;
        Kind kind;
    } classes[] = {{"BUTTON", Kind::Button},
                   {"STATIC", Kind::Static},
                   {PROGRESS_CLASSA, Kind::Progress},
                   {STATUSCLASSNAMEA, Kind::StatusBar}};
    for (const auto& c : classes) {
        if (strcasecmp(c.name, className.c_str()) == 0) {
            *kind = c.kind;
            return true;
        }
    }
    return false;
}

}  // namespace window
}  // namespace bvu
