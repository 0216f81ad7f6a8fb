// The resource reader on small scripts: what windres would make of them, and refusals that name
// the file and line.
#include <gtest/gtest.h>

#include <map>

#include "platform/win32_window.h"
#include "platform/window/rcgen/rc_parser.h"

namespace bvu {
namespace rcgen {
namespace {

Script parse(const std::map<std::string, std::string>& files) {
    return parseScript("dir/main.rc", [&](const std::string& path, std::string* text) {
        auto it = files.find(path);
        if (it == files.end())
            return false;
        *text = it->second;
        return true;
    });
}

std::string failure(const std::map<std::string, std::string>& files) {
    try {
        parse(files);
    } catch (const ParseError& e) {
        return e.what();
    }
    return "no error";
}

TEST(RcParser, DefinesIncludesAndConditionals) {
    Script s = parse({{"dir/main.rc",
                       "#include \"ids.h\"\n#include <windows.h>\n"
                       "ID_DLG DIALOG 0, 0, 10, 10\nBEGIN\n"
                       "  LTEXT \"a\", ID_B, 1, 1, 1, 1\nEND\n"},
                      {"dir/ids.h",
                       "#pragma once\n#define ID_DLG 7\n#ifndef ID_A\n#define ID_A 40\n"
                       "#else\n#define ID_A 41\n#endif\n#ifdef ID_A\n"
                       "#define ID_B (ID_A | 2)\n#endif\n#define MACRO(x) x\n"}});
    ASSERT_EQ(s.dialogs.size(), 1u);
    EXPECT_EQ(s.dialogs[0].id, 7);
    EXPECT_EQ(s.dialogs[0].name, "ID_DLG");
    ASSERT_EQ(s.dialogs[0].controls.size(), 1u);
    EXPECT_EQ(s.dialogs[0].controls[0].id, 42);
}

TEST(RcParser, DialogDefaultsAndStrings) {
    Script s = parse({{"dir/main.rc",
                       "1 DIALOG 0, 0, 10, 10\nCAPTION \"a \"\"b\"\" \\\\ c\\n\"\n"
                       "{\n PUSHBUTTON \"x\", 2, 0, 0, 5, 5, NOT WS_TABSTOP | "
                       "WS_GROUP\n}\n"}});
    const Dialog& d = s.dialogs.at(0);
    // No STYLE: windres's default, plus WS_CAPTION for the caption.
    EXPECT_EQ(d.style, WS_POPUP | WS_BORDER | WS_SYSMENU | WS_CAPTION);
    EXPECT_EQ(d.caption, "a \"b\" \\ c\n");
    EXPECT_EQ(d.controls.at(0).style, WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON | WS_GROUP);
}

TEST(RcParser, Refusals) {
    EXPECT_EQ(
        failure({{"dir/main.rc", "1 DIALOG 0, 0, 1, 1\nBEGIN\n  EDITTEXT 3, 0, 0, 1, 1\nEND\n"}}),
        "dir/main.rc:3: unsupported control statement EDITTEXT");
    EXPECT_EQ(
        failure({{"dir/main.rc", "1 DIALOG 0, 0, 1, 1\nBEGIN\n  LTEXT \"a\", ID_X, 0, 0, 1, 1\n"}}),
        "dir/main.rc:3: unknown name ID_X");
    EXPECT_EQ(failure({{"dir/main.rc", "#include \"missing.h\"\n"}}),
              "dir/missing.h: cannot read file");
    EXPECT_EQ(failure({{"dir/main.rc", "NAMED DIALOG 0, 0, 1, 1\nBEGIN\nEND\n"}}),
              "dir/main.rc:1: resource 'NAMED' has no numeric identifier");
    EXPECT_EQ(failure({{"dir/main.rc", "1 STRINGTABLE\n"}}),
              "dir/main.rc:1: unsupported resource type STRINGTABLE");
    EXPECT_EQ(failure({{"dir/main.rc", "1 DIALOG 0, 0, 1, 1\nCAPTION \"open\n"}}),
              "dir/main.rc:2: unterminated string");
    EXPECT_EQ(failure({{"dir/main.rc", "#ifdef X\n"}}), "dir/main.rc:1: #if without #endif");
}

TEST(RcParser, GeneratedTableQuotesTexts) {
    Script s = parse({{"dir/main.rc",
                       "5 DIALOG 0, 0, 1, 1\nCAPTION \"say \"\"hi\"\"\"\n"
                       "BEGIN\n LTEXT \"tab\\there\", -1, 0, 0, 1, 1\nEND\n"}});
    std::string table = generateTable(s, "main.rc", 1000);
    EXPECT_NE(table.find("\"say \\\"hi\\\"\""), std::string::npos) << table;
    EXPECT_NE(table.find("\"tab\\011here\""), std::string::npos) << table;
    EXPECT_NE(table.find("kControls5, 1}"), std::string::npos) << table;
}

}  // namespace
}  // namespace rcgen
}  // namespace bvu
