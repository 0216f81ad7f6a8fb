// Reader of a program's resource script for the POSIX window layer (build time).
//
// It reads the part of the resource-script language that the updater's script uses, with the
// meaning that the Windows resource compiler gives it, and refuses the rest with file and line, so
// that the table never silently differs from what Windows builds:
// - lines: // comments; #include <...> (skipped: the style names are built in); #include "file"
//   (from the script only; the file may hold nothing but the lines below); #define NAME value,
//   where value is a number, possibly negative and in parentheses; #ifndef NAME / #endif;
//   #pragma once.
// - statements: NAME ICON "file"; NAME DIALOG x, y, cx, cy with STYLE, CAPTION, FONT and, between
//   BEGIN and END, the controls LTEXT, PUSHBUTTON, DEFPUSHBUTTON, GROUPBOX (text, id, x, y, cx,
//   cy[, style]) and CONTROL (text, id, class, style, x, y, cx, cy). A style is names and numbers
//   joined by |; texts are printable ASCII, without escapes or quotes.
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

// C++ source that defines bvu::window::programResources() (see resource_table.h): the script's
// dialogs and icons, and the program's end-of-input command.
std::string generateTable(const Script& script, const std::string& sourceName,
                          int endOfInputCommand);

}  // namespace rcgen
}  // namespace bvu
