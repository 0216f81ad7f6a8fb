// Reader of the program's resource script for the POSIX window layer (build time).
//
// It understands the part of the resource-script language the program uses, with the meaning
// that windres gives it: #include "file" (read for its #define lines; #include <...> is
// skipped), #define NAME value, #ifdef/#ifndef/#else/#endif, comments; top-level ICON, DIALOG,
// DIALOGEX and LANGUAGE statements; in a dialog STYLE, EXSTYLE, CAPTION, FONT and the control
// statements CONTROL, LTEXT, RTEXT, CTEXT, PUSHBUTTON, DEFPUSHBUTTON, GROUPBOX, CHECKBOX,
// AUTOCHECKBOX, RADIOBUTTON, AUTORADIOBUTTON. Anything else is refused with its file and line, so
// that the table never silently differs from what windres builds on Windows.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace bvu {
namespace rcgen {

struct Control {
    int id = 0;
    std::string className;  // "BUTTON" / "STATIC" for shorthand statements, else as written
    std::string text;
    uint32_t style = 0;  // with the statement's defaults and WS_CHILD | WS_VISIBLE
    uint32_t exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
};

struct Dialog {
    int id = 0;
    std::string name;
    uint32_t style = 0;
    uint32_t exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    std::string caption;
    std::string fontName;
    int pointSize = 0;
    std::vector<Control> controls;
};

struct Icon {
    int id = 0;
    std::string name;
    std::string file;
};

struct Script {
    std::vector<Dialog> dialogs;
    std::vector<Icon> icons;
    std::map<std::string, long> defines;  // #define NAME value, of the script and its includes
};

// "file:line: message".
class ParseError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads a file's text; false when it cannot be read.
using FileReader = std::function<bool(const std::string& path, std::string* text)>;

// Parses the script at path; included files are looked up relative to the including file.
// Throws ParseError.
Script parseScript(const std::string& path, const FileReader& read);

// The value of a Win32 style or constant name the scripts may use (WS_*, DS_*, BS_*, SS_*...).
bool builtinConstant(const std::string& name, uint32_t* value);

// C++ source that defines bvu::window::programResources() (see resource_table.h): the script's
// dialogs and icons, and the program's end-of-input command.
std::string generateTable(const Script& script, const std::string& sourceName,
                          int endOfInputCommand);

}  // namespace rcgen
}  // namespace bvu
