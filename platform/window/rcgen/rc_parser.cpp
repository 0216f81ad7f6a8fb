#include "platform/window/rcgen/rc_parser.h"

#include <cctype>
#include <initializer_list>
#include <sstream>

#include "platform/win32_window.h"

namespace bvu {
namespace rcgen {
namespace {

struct Token {
    enum Kind { Name, Number, Text, Punct } kind = Punct;
    std::string text;  // the name, the text without its quotes, or the punctuation character
    long value = 0;    // numbers
    int line = 0;
};

[[noreturn]] void fail(const std::string& file, int line, const std::string& message) {
    throw ParseError(file + ":" + std::to_string(line) + ": " + message);
}

bool isPunct(const Token& t, char c) {
    return t.kind == Token::Punct && t.text[0] == c;
}

// The style names a script may use; <windows.h> is not read.
bool builtinConstant(const std::string& name, uint32_t* value) {
    static const std::map<std::string, uint32_t> constants = {
        {"WS_POPUP", WS_POPUP},
        {"WS_CHILD", WS_CHILD},
        {"WS_VISIBLE", WS_VISIBLE},
        {"WS_DISABLED", WS_DISABLED},
        {"WS_CAPTION", WS_CAPTION},
        {"WS_BORDER", WS_BORDER},
        {"WS_SYSMENU", WS_SYSMENU},
        {"WS_GROUP", WS_GROUP},
        {"WS_TABSTOP", WS_TABSTOP},
        {"DS_SETFONT", DS_SETFONT},
        {"DS_MODALFRAME", DS_MODALFRAME},
        {"DS_CENTER", DS_CENTER},
        {"BS_AUTORADIOBUTTON", BS_AUTORADIOBUTTON},
        {"BS_AUTOCHECKBOX", BS_AUTOCHECKBOX},
        {"SS_LEFT", SS_LEFT},
    };
    auto it = constants.find(name);
    if (it == constants.end())
        return false;
    if (value != nullptr)
        *value = it->second;
    return true;
}

// One line's tokens; a // comment ends the line.
void tokenize(const std::string& file, int line, const std::string& s, std::vector<Token>* out) {
    auto isWord = [&](size_t i) {
        return i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '_');
    };
    for (size_t i = 0; i < s.size();) {
        const char c = s[i];
        Token t;
        t.line = line;
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
            continue;
        }
        if (s.compare(i, 2, "//") == 0)
            return;
        if (c == '"') {
            size_t close = s.find('"', i + 1);
            if (close == std::string::npos)
                fail(file, line, "unterminated string");
            t.kind = Token::Text;
            t.text = s.substr(i + 1, close - i - 1);
            // The resource compiler reads \ as an escape, "" as a quote and other bytes through a
            // code page; the script needs none of these, so they are refused, not read another way.
            for (unsigned char b : t.text) {
                if (b == '\\' || b < 0x20 || b > 0x7e)
                    fail(file, line, "texts hold printable ASCII only, without \\ escapes");
            }
            if (close + 1 < s.size() && s[close + 1] == '"')
                fail(file, line, "quotes in texts are not supported");
            i = close + 1;
        } else if (isWord(i)) {
            size_t end = i;
            while (isWord(end)) ++end;
            t.text = s.substr(i, end - i);
            i = end;
            if (std::isdigit(static_cast<unsigned char>(c))) {
                if (t.text.find_first_not_of("0123456789") != std::string::npos ||
                    t.text.size() > 9)
                    fail(file, line, "bad number '" + t.text + "'");
                t.kind = Token::Number;
                t.value = std::stol(t.text);
            } else {
                t.kind = Token::Name;
            }
        } else if (c == ',' || c == '|' || c == '(' || c == ')' || c == '-') {
            t.text = std::string(1, c);
            ++i;
        } else {
            fail(file, line, std::string("unexpected character '") + c + "'");
        }
        out->push_back(t);
    }
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Reads a file line by line: directives take effect at once, the other lines become tokens.
// Included files (out is null) may hold nothing else.
void readLines(const std::string& path, const FileReader& read, Script* script,
               std::vector<Token>* out) {
    std::string raw;
    if (!read(path, &raw))
        throw ParseError(path + ": cannot read file");
    std::istringstream lines(raw);
    std::string line;
    std::vector<bool> active;  // one entry per open #ifndef: whether its lines count
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        const bool on = active.empty() || active.back();
        std::vector<Token> t;
        size_t hash = line.find_first_not_of(" \t\r");
        if (hash == std::string::npos || line[hash] != '#') {
            if (on)
                tokenize(path, number, line, out != nullptr ? out : &t);
            if (!t.empty())
                fail(path, number, "an included file may hold only #define lines");
            continue;
        }
        std::istringstream in(line.substr(hash + 1));
        std::string word, name, rest;
        in >> word >> name;
        std::getline(in, rest);
        if (word == "ifndef") {
            active.push_back(on && script->defines.count(name) == 0 &&
                             !builtinConstant(name, nullptr));
        } else if (word == "endif") {
            if (active.empty())
                fail(path, number, "#endif without #ifndef");
            active.pop_back();
        } else if (!on) {
            continue;
        } else if (word == "include" && name.size() > 2 && name.front() == '<' &&
                   name.back() == '>') {
            continue;
        } else if (word == "include" && out != nullptr && name.size() > 2 && name.front() == '"' &&
                   name.back() == '"') {
            readLines(directoryOf(path) + name.substr(1, name.size() - 2), read, script, nullptr);
        } else if (word == "define") {
            // A number, possibly negative and in parentheses: (-1).
            tokenize(path, number, rest, &t);
            size_t a = 0, b = t.size();
            while (b >= a + 2 && isPunct(t[a], '(') && isPunct(t[b - 1], ')')) {
                ++a;
                --b;
            }
            const bool minus = b == a + 2 && isPunct(t[a], '-');
            if (b != a + 1 + minus || t[b - 1].kind != Token::Number)
                fail(path, number, "#define " + name + ": the value must be a number");
            script->defines[name] = minus ? -t[b - 1].value : t[b - 1].value;
        } else if (!(word == "pragma" && name == "once")) {
            fail(path, number, "unsupported line #" + word + (name.empty() ? "" : " " + name));
        }
    }
    if (!active.empty())
        fail(path, number, "#ifndef without #endif");
}

// Statements over the script's tokens.
class Parser {
  public:
    Parser(std::vector<Token> tokens, const Script& script, std::string path)
        : t_(std::move(tokens)), defines_(script.defines), path_(std::move(path)) {}

    void parse(Script* script) {
        while (i_ < t_.size()) {
            Token name = next();
            Token type = next();
            int id = resourceId(name);
            if (type.kind == Token::Name && type.text == "ICON") {
                script->icons.push_back(Icon{id, name.text, text()});
            } else if (type.kind == Token::Name && type.text == "DIALOG") {
                script->dialogs.push_back(dialog(id, name.text));
            } else {
                fail(path_, type.line, "unsupported resource type " + type.text);
            }
        }
    }

  private:
    Token next() {
        if (i_ >= t_.size())
            fail(path_, t_.empty() ? 1 : t_.back().line, "unexpected end of script");
        return t_[i_++];
    }
    bool nextIs(char c) const { return i_ < t_.size() && isPunct(t_[i_], c); }
    bool nextIs(const char* name) const {
        return i_ < t_.size() && t_[i_].kind == Token::Name && t_[i_].text == name;
    }
    void expect(char c) {
        Token k = next();
        if (!isPunct(k, c))
            fail(path_, k.line, std::string("'") + c + "' expected");
    }

    int resourceId(const Token& name) {
        if (name.kind == Token::Number)
            return static_cast<int>(name.value);
        auto it = defines_.find(name.text);
        if (name.kind != Token::Name || it == defines_.end())
            fail(path_, name.line, "resource '" + name.text + "' has no numeric identifier");
        return static_cast<int>(it->second);
    }

    // A number, or a name that the script defines or that is a style.
    long number() {
        Token k = next();
        if (k.kind == Token::Number)
            return k.value;
        if (k.kind != Token::Name)
            fail(path_, k.line, "number expected");
        auto it = defines_.find(k.text);
        uint32_t builtin = 0;
        if (it != defines_.end())
            return it->second;
        if (!builtinConstant(k.text, &builtin))
            fail(path_, k.line, "unknown name " + k.text);
        return builtin;
    }

    uint32_t style() {
        uint32_t v = static_cast<uint32_t>(number());
        while (nextIs('|')) {
            ++i_;
            v |= static_cast<uint32_t>(number());
        }
        return v;
    }

    std::string text() {
        Token k = next();
        if (k.kind != Token::Text)
            fail(path_, k.line, "text in quotes expected");
        return k.text;
    }

    void position(int* x, int* y, int* cx, int* cy) {
        for (int* at : {x, y, cx, cy}) {
            if (at != x)
                expect(',');
            *at = static_cast<int>(number());
        }
    }

    Dialog dialog(int id, const std::string& name) {
        Dialog d;
        d.id = id;
        d.name = name;
        position(&d.x, &d.y, &d.cx, &d.cy);
        d.style = WS_POPUP | WS_BORDER | WS_SYSMENU;  // without STYLE
        uint32_t extra = 0;
        for (;;) {
            Token k = next();
            if (k.kind == Token::Name && k.text == "BEGIN")
                break;
            if (k.kind == Token::Name && k.text == "STYLE") {
                d.style = style();
            } else if (k.kind == Token::Name && k.text == "CAPTION") {
                d.caption = text();
                extra |= WS_CAPTION;
            } else if (k.kind == Token::Name && k.text == "FONT") {
                d.pointSize = static_cast<int>(number());
                expect(',');
                d.fontName = text();
                extra |= DS_SETFONT;
            } else {
                fail(path_, k.line, "unsupported dialog option " + k.text);
            }
        }
        d.style |= extra;
        while (!nextIs("END")) d.controls.push_back(control());
        ++i_;
        return d;
    }

    Control control() {
        // windres keeps a button's WS_TABSTOP when a style is given, but not a label's WS_GROUP.
        struct Shorthand {
            const char* keyword;
            const char* className;
            uint32_t style;      // without a style in the statement
            uint32_t baseStyle;  // under the statement's style
        };
        static const Shorthand shorthands[] = {
            {"LTEXT", "STATIC", SS_LEFT | WS_GROUP, SS_LEFT},
            {"PUSHBUTTON", "BUTTON", BS_PUSHBUTTON | WS_TABSTOP, BS_PUSHBUTTON | WS_TABSTOP},
            {"DEFPUSHBUTTON", "BUTTON", BS_DEFPUSHBUTTON | WS_TABSTOP,
             BS_DEFPUSHBUTTON | WS_TABSTOP},
            {"GROUPBOX", "BUTTON", BS_GROUPBOX, BS_GROUPBOX},
        };
        Token k = next();
        Control c;
        c.style = WS_CHILD | WS_VISIBLE;
        if (k.kind == Token::Name && k.text == "CONTROL") {
            c.text = text();
            expect(',');
            c.id = static_cast<int>(number());
            expect(',');
            c.className = text();
            expect(',');
            c.style |= style();
            expect(',');
            position(&c.x, &c.y, &c.cx, &c.cy);
            return c;
        }
        for (const Shorthand& s : shorthands) {
            if (k.kind != Token::Name || k.text != s.keyword)
                continue;
            c.className = s.className;
            c.text = text();
            expect(',');
            c.id = static_cast<int>(number());
            expect(',');
            position(&c.x, &c.y, &c.cx, &c.cy);
            if (nextIs(',')) {
                ++i_;
                c.style |= s.baseStyle | style();
            } else {
                c.style |= s.style;
            }
            return c;
        }
        fail(path_, k.line, "unsupported control statement " + k.text);
    }

    std::vector<Token> t_;
    const std::map<std::string, long>& defines_;
    std::string path_;
    size_t i_ = 0;
};

}  // namespace

Script parseScript(const std::string& path, const FileReader& read) {
    Script script;
    std::vector<Token> tokens;
    readLines(path, read, &script, &tokens);
    Parser(std::move(tokens), script, path).parse(&script);
    return script;
}

}  // namespace rcgen
}  // namespace bvu
