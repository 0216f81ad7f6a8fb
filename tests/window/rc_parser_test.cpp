// The resource reader on small scripts: what the resource compiler would make of them, and
// refusals that name the file and line.
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
                       "#include \"ids.h\"  // the ids\r\n#include <windows.h>\r\n"
                       "ID_DLG DIALOG 0, 0, 10, 10\r\nBEGIN\r\n"
                       "  LTEXT \"a\", ID_A, 1, 1, 1, 1\r\n"
                       "  LTEXT \"b\", ID_STATIC, 1, 1, 1, 1\r\nEND\r\n"},
                      {"dir/ids.h",
                       "#pragma once\n#define ID_DLG 7\n"
                       "#ifndef ID_A\n#define ID_A (40)\n#ifndef ID_B\n#endif\n#endif\n"
                       "#ifndef ID_A\n#define ID_A 41\n#endif\n"
                       "#ifndef WS_POPUP\n#define ID_DLG 8\n#endif\n"
                       "#define ID_STATIC (-1) // no id\n"}});
    ASSERT_EQ(s.dialogs.size(), 1u);
    EXPECT_EQ(s.dialogs[0].id, 7);
    EXPECT_EQ(s.dialogs[0].name, "ID_DLG");
    ASSERT_EQ(s.dialogs[0].controls.size(), 2u);
    EXPECT_EQ(s.dialogs[0].controls[0].id, 40);
    EXPECT_EQ(s.dialogs[0].controls[1].id, -1);
    EXPECT_EQ(s.defines.at("ID_A"), 40);
}

TEST(RcParser, DefaultStyles) {
    Script s = parse({{"dir/main.rc",
                       "1 DIALOG 0, 0, 10, 10\nCAPTION \"a b \"\n"
                       "BEGIN\n PUSHBUTTON \"x\", 2, 0, 0, 5, 5, WS_GROUP\n"
                       " LTEXT \"y\", 3, 0, 0, 5, 5, WS_DISABLED\nEND\n"}});
    const Dialog& d = s.dialogs.at(0);
    // The compiler's default, plus WS_CAPTION for the caption.
    EXPECT_EQ(d.style, WS_POPUP | WS_BORDER | WS_SYSMENU | WS_CAPTION);
    EXPECT_EQ(d.caption, "a b ");
    EXPECT_EQ(d.controls.at(0).style,
              WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON | WS_TABSTOP | WS_GROUP);
    EXPECT_EQ(d.controls.at(1).style, WS_CHILD | WS_VISIBLE | SS_LEFT | WS_DISABLED);
}

// What the updater's script does not use is refused, not guessed at.
TEST(RcParser, Refusals) {
    const std::string dialog = "1 DIALOG 0, 0, 1, 1\nBEGIN\n";
    const std::pair<std::map<std::string, std::string>, std::string> cases[] = {
        {{{"dir/main.rc", dialog + "  EDITTEXT 3, 0, 0, 1, 1\nEND\n"}},
         "dir/main.rc:3: unsupported control statement EDITTEXT"},
        {{{"dir/main.rc", dialog + "  LTEXT \"a\", ID_X, 0, 0, 1, 1\nEND\n"}},
         "dir/main.rc:3: unknown name ID_X"},
        {{{"dir/main.rc", dialog + "  LTEXT \"a\", 1, 0, 0, 1, 1, NOT WS_GROUP\nEND\n"}},
         "dir/main.rc:3: unknown name NOT"},
        {{{"dir/main.rc", dialog + "  LTEXT \"a\", 1, 0, 0, 1+1, 1\nEND\n"}},
         "dir/main.rc:3: unexpected character '+'"},
        {{{"dir/main.rc", dialog + "  LTEXT \"a\", 0x10, 0, 0, 1, 1\nEND\n"}},
         "dir/main.rc:3: bad number '0x10'"},
        {{{"dir/main.rc", dialog + "  LTEXT \"a\\tb\", 1, 0, 0, 1, 1\nEND\n"}},
         "dir/main.rc:3: texts hold printable ASCII only, without \\ escapes"},
        {{{"dir/main.rc", dialog + "  LTEXT \"\xc3\xa9\", 1, 0, 0, 1, 1\nEND\n"}},
         "dir/main.rc:3: texts hold printable ASCII only, without \\ escapes"},
        {{{"dir/main.rc", dialog + "  LTEXT \"a\"\"b\", 1, 0, 0, 1, 1\nEND\n"}},
         "dir/main.rc:3: quotes in texts are not supported"},
        {{{"dir/main.rc", dialog}}, "dir/main.rc:2: unexpected end of script"},
        {{{"dir/main.rc", "1 DIALOGEX 0, 0, 1, 1\n"}},
         "dir/main.rc:1: unsupported resource type DIALOGEX"},
        {{{"dir/main.rc", "1 DIALOG 0, 0, 1, 1\nEXSTYLE 0\n"}},
         "dir/main.rc:2: unsupported dialog option EXSTYLE"},
        {{{"dir/main.rc", "1 DIALOG 0, 0, 1, 1\n{\n}\n"}},
         "dir/main.rc:2: unexpected character '{'"},
        {{{"dir/main.rc", "/* a\n   b */\n"}}, "dir/main.rc:1: unexpected character '/'"},
        {{{"dir/main.rc", "NAMED DIALOG 0, 0, 1, 1\nBEGIN\nEND\n"}},
         "dir/main.rc:1: resource 'NAMED' has no numeric identifier"},
        {{{"dir/main.rc", "1 DIALOG 0, 0, 1, 1\nCAPTION \"open\n"}},
         "dir/main.rc:2: unterminated string"},
        {{{"dir/main.rc", "#include \"missing.h\"\n"}}, "dir/missing.h: cannot read file"},
        {{{"dir/main.rc", "#include \"a.h\"\n"}, {"dir/a.h", "#include \"b.h\"\n"}},
         "dir/a.h:1: unsupported line #include \"b.h\""},
        {{{"dir/main.rc", "#include \"a.h\"\n"}, {"dir/a.h", "1 ICON \"x.ico\"\n"}},
         "dir/a.h:1: an included file may hold only #define lines"},
        {{{"dir/main.rc", "#define A 1\n#define B (A | 2)\n"}},
         "dir/main.rc:2: #define B: the value must be a number"},
        {{{"dir/main.rc", "#define F(x) x\n"}},
         "dir/main.rc:1: #define F(x): the value must be a number"},
        {{{"dir/main.rc", "#if 1\n#endif\n"}}, "dir/main.rc:1: unsupported line #if 1"},
        {{{"dir/main.rc", "#ifdef A\n#endif\n"}}, "dir/main.rc:1: unsupported line #ifdef A"},
        {{{"dir/main.rc", "#pragma code_page(65001)\n"}},
         "dir/main.rc:1: unsupported line #pragma code_page(65001)"},
        {{{"dir/main.rc", "#ifndef A\n"}}, "dir/main.rc:1: #ifndef without #endif"},
        {{{"dir/main.rc", "#endif\n"}}, "dir/main.rc:1: #endif without #ifndef"},
    };
    for (const auto& c : cases) EXPECT_EQ(failure(c.first), c.second);
}

TEST(RcParser, GeneratedTable) {
    Script s;
    Dialog d;
    d.id = 5;
    d.caption = "say \"hi\"";
    Control c;
    c.id = -1;
    c.text = "tab\there";
    d.controls.push_back(c);
    s.dialogs.push_back(d);
    std::string table = generateTable(s, "main.rc", 1000);
    EXPECT_NE(table.find("\"say \\\"hi\\\"\""), std::string::npos) << table;
    EXPECT_NE(table.find("\"tab\\011here\""), std::string::npos) << table;
    EXPECT_NE(table.find("kControls5, 1}"), std::string::npos) << table;
    EXPECT_NE(table.find("kResources{{kDialogs, 1, kIcons, 0}, 1000}"), std::string::npos) << table;
}

}  // namespace
}  // namespace rcgen
}  // namespace bvu
