// The program's resources as the window layer sees them: the dialog templates and icons of the
// program's resource script, turned into a table at build time by bvu_rcgen (see rcgen/rc_parser.h)
// so that the layout exists once, in the script. The program's own target builds the table
// (bvu_resource_table in platform/window/CMakeLists.txt), as it compiles the script on Windows.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bvu {
namespace window {

// One control of a template, in template order. id is -1 for a label without identifier.
// className is as written in the script ("BUTTON" and "STATIC" for the shorthand statements);
// style includes the statement's default styles and WS_CHILD | WS_VISIBLE.
struct ControlTemplate {
    int id;
    const char* className;
    const char* text;
    uint32_t style;
    uint32_t exStyle;
    int x, y, cx, cy;  // dialog units
};

struct DialogTemplate {
    int resourceId;
    const char* name;  // the symbol in the script, e.g. "IDD_UPDATE"
    uint32_t style;
    uint32_t exStyle;
    int x, y, cx, cy;  // dialog units
    const char* caption;
    const char* fontName;
    int pointSize;
    const ControlTemplate* controls;
    size_t controlCount;
};

struct IconResource {
    int resourceId;
    const char* name;
    const char* file;  // as named in the script
};

struct ResourceTable {
    const DialogTemplate* dialogs;
    size_t dialogCount;
    const IconResource* icons;
    size_t iconCount;
};

// What the program hands the layer: its resource table, and the command (a control id) that its
// open dialog is sent as WM_COMMAND when the headless script's input has ended (see
// headless_driver.h).
struct ProgramResources {
    ResourceTable table;
    int endOfInputCommand;
};

// Defined by the program, not by the layer, as WinMain is: the source that bvu_rcgen generates
// from the program's script defines it, and a program that links none fails to link. Immutable;
// any thread.
const ProgramResources& programResources();

// Lookups in programResources().table; null when absent.
const DialogTemplate* findDialogTemplate(int resourceId);
const IconResource* findIcon(int resourceId);

}  // namespace window
}  // namespace bvu
