#include "platform/window/rcgen/rc_parser.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "platform/win32_window.h"

namespace bvu {
namespace rcgen {
namespace {

struct Token {
    enum Kind { Ident, Number, String, Punct, End } kind = End;
    std::string text;  // identifier, decoded string, or the punctuation character
    long value = 0;    // numbers
    std::string file;
    int line = 0;
};

[[noreturn]] void fail(const std::string& file, int line, const std::string& message) {
    throw ParseError(file + ":" + std::to_string(line) + ": " + message);
}

// Replaces comments by blanks (keeping line breaks, so that line numbers stay right).
std::string stripComments(const std::string& in) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '"') {
            out += c;
            for (++i; i < in.size() && in[i] != '\n'; ++i) {
                out += in[i];
                if (in[i] == '\\' && i + 1 < in.size()) {
                    out += in[++i];
                } else if (in[i] == '"') {
                    if (i + 1 < in.size() && in[i + 1] == '"') {
                        out += in[++i];  // "" is a quote inside the string
                    } else {
                        break;
                    }
                }
            }
        } else if (c == '/' && i + 1 < in.size() && in[i + 1] == '/') {
            while (i < in.size() && in[i] != '\n') ++i;
            if (i < in.size())
                out += '\n';
        } else if (c == '/' && i + 1 < in.size() && in[i + 1] == '*') {
            for (i += 2; i < in.size() && !(in[i] == '*' && i + 1 < in.size() && in[i + 1] == '/');
                 ++i) {
                out += in[i] == '\n' ? '\n' : ' ';
            }
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

class Lexer {
  public:
    Lexer(const std::string& file, int line, const std::string& text)
        : file_(file), line_(line), text_(text) {}

    void tokens(std::vector<Token>* out) {
        while (pos_ < text_.size()) {
            char c = text_[pos_];
            if (c == '\n') {
                ++line_;
                ++pos_;
            } else if (std::isspace(static_cast<unsigned char>(c))) {
                ++pos_;
            } else if (c == '"') {
                out->push_back(string());
            } else if (std::isdigit(static_cast<unsigned char>(c))) {
                out->push_back(number());
            } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
                Token t = make(Token::Ident);
                while (
                    pos_ < text_.size() &&
                    (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_')) {
                    t.text += text_[pos_++];
                }
                out->push_back(t);
            } else if (std::string(",|()-~+&{}").find(c) != std::string::npos) {
                Token t = make(Token::Punct);
                t.text = std::string(1, c);
                ++pos_;
                out->push_back(t);
            } else {
                fail(file_, line_, std::string("unexpected character '") + c + "'");
            }
        }
    }

  private:
    Token make(Token::Kind kind) const {
        Token t;
        t.kind = kind;
        t.file = file_;
        t.line = line_;
        return t;
    }

    Token number() {
        Token t = make(Token::Number);
        size_t start = pos_;
        int base = 10;
        if (text_.compare(pos_, 2, "0x") == 0 || text_.compare(pos_, 2, "0X") == 0) {
            base = 16;
            pos_ += 2;
        }
        while (pos_ < text_.size() && std::isxdigit(static_cast<unsigned char>(text_[pos_])))
            ++pos_;
        std::string digits = text_.substr(start, pos_ - start);
        char* end = nullptr;
        t.value = std::strtol(digits.c_str(), &end, base == 16 ? 16 : 10);
        if (*end != '\0')
            fail(file_, line_, "bad number '" + digits + "'");
        while (pos_ < text_.size() && (text_[pos_] == 'L' || text_[pos_] == 'l' ||
                                       text_[pos_] == 'U' || text_[pos_] == 'u')) {
            ++pos_;
        }
        return t;
    }

    Token string() {
        Token t = make(Token::String);
        ++pos_;
        for (;;) {
            if (pos_ >= text_.size() || text_[pos_] == '\n')
                fail(file_, t.line, "unterminated string");
            char c = text_[pos_++];
            if (c == '"') {
                if (pos_ < text_.size() && text_[pos_] == '"') {
                    t.text += '"';
                    ++pos_;
                    continue;
                }
                return t;
            }
            if (c != '\\' || pos_ >= text_.size()) {
                t.text += c;
                continue;
            }
            char e = text_[pos_++];
            switch (e) {
                case 'n':
                    t.text += '\n';
                    break;
                case 't':
                    t.text += '\t';
                    break;
                case 'r':
                    t.text += '\r';
                    break;
                case 'a':
                    t.text += '\a';
                    break;
                case '\\':
                    t.text += '\\';
                    break;
                case '"':
                    t.text += '"';
                    break;
                case 'x': {
                    int v = 0, n = 0;
                    while (n < 2 && pos_ < text_.size() &&
                           std::isxdigit(static_cast<unsigned char>(text_[pos_]))) {
                        v = v * 16 + std::stoi(std::string(1, text_[pos_++]), nullptr, 16);
                        ++n;
                    }
                    t.text += static_cast<char>(v);
                    break;
                }
                default:
                    if (e >= '0' && e <= '7') {
                        int v = e - '0', n = 1;
                        while (n < 3 && pos_ < text_.size() && text_[pos_] >= '0' &&
                               text_[pos_] <= '7') {
                            v = v * 8 + (text_[pos_++] - '0');
                            ++n;
                        }
                        t.text += static_cast<char>(v);
                    } else {
                        fail(file_, t.line, std::string("unknown escape '\\") + e + "'");
                    }
            }
        }
    }

    std::string file_;
    int line_;
    const std::string& text_;
    size_t pos_ = 0;
};

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Runs the preprocessor directives of one file (and its includes) and collects the remaining
// text as tokens; #define values end up in defines.
class Preprocessor {
  public:
    Preprocessor(const FileReader& read, std::map<std::string, long>* defines)
        : read_(read), defines_(defines) {}

    void run(const std::string& path, std::vector<Token>* out, int depth = 0) {
        if (depth > 8)
            fail(path, 1, "includes nested too deeply");
        std::string raw;
        if (!read_(path, &raw))
            throw ParseError(path + ": cannot read file");
        std::istringstream lines(stripComments(raw));
        std::string line;
        std::vector<bool> active;  // one entry per open #if: whether its text is used
        int number = 0;
        while (std::getline(lines, line)) {
            ++number;
            size_t first = line.find_first_not_of(" \t\r");
            bool on = active.empty() || active.back();
            if (first != std::string::npos && line[first] == '#') {
                directive(path, number, line.substr(first + 1), &active, depth);
                continue;
            }
            if (on)
                Lexer(path, number, line).tokens(out);
        }
        if (!active.empty())
            fail(path, number, "#if without #endif");
    }

  private:
    void directive(const std::string& path, int line, const std::string& text,
                   std::vector<bool>* active, int depth) {
        std::istringstream in(text);
        std::string word;
        in >> word;
        bool on = active->empty() || active->back();
        if (word == "ifdef" || word == "ifndef") {
            std::string name;
            in >> name;
            bool defined = defines_->count(name) != 0 || builtinConstant(name, nullptr);
            active->push_back(on && (word == "ifdef" ? defined : !defined));
        } else if (word == "else") {
            if (active->empty())
                fail(path, line, "#else without #if");
            bool outer = active->size() < 2 || (*active)[active->size() - 2];
            active->back() = outer && !active->back();
        } else if (word == "endif") {
            if (active->empty())
                fail(path, line, "#endif without #if");
            active->pop_back();
        } else if (!on) {
            return;
        } else if (word == "include") {
            std::string rest;
            std::getline(in, rest);
            size_t open = rest.find_first_of("\"<");
            if (open == std::string::npos)
                fail(path, line, "bad #include");
            if (rest[open] == '<')
                return;  // system headers: the constants are built in
            size_t close = rest.find('"', open + 1);
            if (close == std::string::npos)
                fail(path, line, "bad #include");
            std::vector<Token> included;
            run(directoryOf(path) + rest.substr(open + 1, close - open - 1), &included, depth + 1);
            if (!included.empty()) {
                fail(included.front().file, included.front().line,
                     "an included file may hold only preprocessor lines");
            }
        } else if (word == "define") {
            std::string name, rest;
            in >> name;
            std::getline(in, rest);
            if (name.find('(') != std::string::npos)
                return;  // function-like macros: unused
            std::vector<Token> tokens;
            Lexer(path, line, rest).tokens(&tokens);
            size_t i = 0;
            long value = 0;
            if (!tokens.empty() && evaluate(tokens, &i, &value) && i == tokens.size()) {
                (*defines_)[name] = value;
            }
        } else if (word == "pragma" || word == "undef" || word.empty()) {
            return;
        } else {
            fail(path, line, "unsupported directive #" + word);
        }
    }

    // Integer expressions in #define: numbers, names, unary minus, parentheses, |.
    bool evaluate(const std::vector<Token>& t, size_t* i, long* value) {
        long v = 0;
        if (!primary(t, i, &v))
            return false;
        while (*i < t.size() && t[*i].kind == Token::Punct && t[*i].text == "|") {
            ++*i;
            long w = 0;
            if (!primary(t, i, &w))
                return false;
            v |= w;
        }
        *value = v;
        return true;
    }

    bool primary(const std::vector<Token>& t, size_t* i, long* value) {
        if (*i >= t.size())
            return false;
        const Token& k = t[(*i)++];
        if (k.kind == Token::Number) {
            *value = k.value;
            return true;
        }
        if (k.kind == Token::Ident) {
            auto it = defines_->find(k.text);
            uint32_t builtin = 0;
            if (it != defines_->end()) {
                *value = it->second;
            } else if (builtinConstant(k.text, &builtin)) {
                *value = builtin;
            } else {
                return false;
            }
            return true;
        }
        if (k.kind == Token::Punct && k.text == "-") {
            if (!primary(t, i, value))
                return false;
            *value = -*value;
            return true;
        }
        if (k.kind == Token::Punct && k.text == "(") {
            if (!evaluate(t, i, value))
                return false;
            if (*i >= t.size() || t[*i].text != ")")
                return false;
            ++*i;
            return true;
        }
        return false;
    }

    const FileReader& read_;
    std::map<std::string, long>* defines_;
};

// Statement-level parser over the preprocessed tokens.
class Parser {
  public:
    Parser(std::vector<Token> tokens, std::map<std::string, long> defines, std::string path)
        : t_(std::move(tokens)), defines_(std::move(defines)), path_(std::move(path)) {}

    Script parse() {
        Script script;
        while (!atEnd()) {
            Token name = next();
            if (name.kind == Token::Ident && name.text == "LANGUAGE") {
                number();
                expect(",");
                number();
                continue;
            }
            if (atEnd())
                fail(name.file, name.line, "resource statement ends early");
            Token type = next();
            if (type.kind != Token::Ident)
                fail(type.file, type.line, "resource type expected");
            int id = resourceId(name);
            if (type.text == "ICON") {
                skipMemoryOptions();
                Token file = next();
                if (file.kind != Token::String)
                    fail(file.file, file.line, "icon file name expected");
                script.icons.push_back(Icon{id, name.text, file.text});
            } else if (type.text == "DIALOG" || type.text == "DIALOGEX") {
                script.dialogs.push_back(dialog(id, name.text, type.text == "DIALOGEX"));
            } else {
                fail(type.file, type.line, "unsupported resource type " + type.text);
            }
        }
        return script;
    }

  private:
    bool atEnd() const { return i_ >= t_.size(); }
    const Token& peek() const {
        static const Token end;
        return atEnd() ? end : t_[i_];
    }
    Token next() {
        if (atEnd()) {
            int line = t_.empty() ? 1 : t_.back().line;
            fail(t_.empty() ? path_ : t_.back().file, line, "unexpected end of script");
        }
        return t_[i_++];
    }
    bool isPunct(const char* p) const { return peek().kind == Token::Punct && peek().text == p; }
    bool isIdent(const char* p) const { return peek().kind == Token::Ident && peek().text == p; }
    void expect(const char* p) {
        Token k = next();
        if (k.kind != Token::Punct || k.text != p) {
            fail(k.file, k.line, std::string("'") + p + "' expected");
        }
    }

    int resourceId(const Token& name) {
        if (name.kind == Token::Number)
            return static_cast<int>(name.value);
        auto it = defines_.find(name.text);
        if (name.kind != Token::Ident || it == defines_.end()) {
            fail(name.file, name.line, "resource '" + name.text + "' has no numeric identifier");
        }
        return static_cast<int>(it->second);
    }

    void skipMemoryOptions() {
        static const char* const options[] = {"DISCARDABLE", "MOVEABLE", "FIXED",     "PURE",
                                              "IMPURE",      "PRELOAD",  "LOADONCALL"};
        for (;;) {
            bool skipped = false;
            for (const char* o : options) {
                if (isIdent(o)) {
                    ++i_;
                    skipped = true;
                }
            }
            if (!skipped)
                return;
        }
    }

    // A numeric expression: unary - and ~, | & + - between terms.
    long number() {
        long v = unary();
        while (isPunct("|") || isPunct("&") || isPunct("+") || isPunct("-")) {
            char op = next().text[0];
            long w = unary();
            v = op == '|' ? (v | w) : op == '&' ? (v & w) : op == '+' ? v + w : v - w;
        }
        return v;
    }

    long unary() {
        if (isPunct("-")) {
            ++i_;
            return -unary();
        }
        if (isPunct("~")) {
            ++i_;
            return ~unary();
        }
        if (isPunct("(")) {
            ++i_;
            long v = number();
            expect(")");
            return v;
        }
        Token k = next();
        if (k.kind == Token::Number)
            return k.value;
        if (k.kind == Token::Ident) {
            auto it = defines_.find(k.text);
            if (it != defines_.end())
                return it->second;
            uint32_t v = 0;
            if (builtinConstant(k.text, &v))
                return v;
            fail(k.file, k.line, "unknown name " + k.text);
        }
        fail(k.file, k.line, "number expected");
    }

    // A style: starts from the defaults; "| X" adds X, "NOT X" removes it.
    uint32_t style(uint32_t defaults) {
        uint32_t v = defaults;
        for (;;) {
            bool negate = false;
            if (isIdent("NOT")) {
                ++i_;
                negate = true;
            }
            uint32_t term = static_cast<uint32_t>(unary());
            v = negate ? (v & ~term) : (v | term);
            if (!isPunct("|"))
                return v;
            ++i_;
        }
    }

    std::string text() {
        Token k = next();
        if (k.kind != Token::String)
            fail(k.file, k.line, "text in quotes expected");
        return k.text;
    }

    Dialog dialog(int id, const std::string& name, bool extended) {
        Dialog d;
        d.id = id;
        d.name = name;
        skipMemoryOptions();
        d.x = static_cast<int>(number());
        expect(",");
        d.y = static_cast<int>(number());
        expect(",");
        d.cx = static_cast<int>(number());
        expect(",");
        d.cy = static_cast<int>(number());
        if (extended && isPunct(",")) {  // help identifier
            ++i_;
            number();
        }
        bool styled = false;
        uint32_t extra = 0;
        for (;;) {
            Token k = next();
            if (k.kind == Token::Ident && (k.text == "BEGIN"))
                break;
            if (k.kind == Token::Punct && k.text == "{")
                break;
            if (k.kind != Token::Ident)
                fail(k.file, k.line, "dialog option expected");
            if (k.text == "STYLE") {
                d.style = style(0);
                styled = true;
            } else if (k.text == "EXSTYLE") {
                d.exStyle = style(0);
            } else if (k.text == "CAPTION") {
                d.caption = text();
                extra |= WS_CAPTION;
            } else if (k.text == "FONT") {
                d.pointSize = static_cast<int>(number());
                expect(",");
                d.fontName = text();
                while (extended && isPunct(",")) {  // weight, italic, character set
                    ++i_;
                    number();
                }
                extra |= DS_SETFONT;
            } else if (k.text == "LANGUAGE") {
                number();
                expect(",");
                number();
            } else {
                fail(k.file, k.line, "unsupported dialog option " + k.text);
            }
        }
        if (!styled)
            d.style = WS_POPUP | WS_BORDER | WS_SYSMENU;
        d.style |= extra;
        for (;;) {
            if (isIdent("END") || isPunct("}")) {
                ++i_;
                return d;
            }
            d.controls.push_back(control());
        }
    }

    Control control() {
        struct Shorthand {
            const char* keyword;
            const char* className;
            uint32_t style;
        };
        static const Shorthand shorthands[] = {
            {"LTEXT", "STATIC", SS_LEFT | WS_GROUP},
            {"RTEXT", "STATIC", SS_RIGHT | WS_GROUP},
            {"CTEXT", "STATIC", SS_CENTER | WS_GROUP},
            {"PUSHBUTTON", "BUTTON", BS_PUSHBUTTON | WS_TABSTOP},
            {"DEFPUSHBUTTON", "BUTTON", BS_DEFPUSHBUTTON | WS_TABSTOP},
            {"GROUPBOX", "BUTTON", BS_GROUPBOX},
            {"CHECKBOX", "BUTTON", BS_CHECKBOX | WS_TABSTOP},
            {"AUTOCHECKBOX", "BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP},
            {"RADIOBUTTON", "BUTTON", BS_RADIOBUTTON | WS_TABSTOP},
            {"AUTORADIOBUTTON", "BUTTON", BS_AUTORADIOBUTTON | WS_TABSTOP},
        };
        Token k = next();
        if (k.kind != Token::Ident)
            fail(k.file, k.line, "control statement expected");
        Control c;
        const uint32_t base = WS_CHILD | WS_VISIBLE;
        if (k.text == "CONTROL") {
            c.text = text();
            expect(",");
            c.id = static_cast<int>(number());
            expect(",");
            c.className = text();
            expect(",");
            c.style = style(base);
            expect(",");
            position(&c);
            if (isPunct(",")) {
                ++i_;
                c.exStyle = style(0);
            }
            return c;
        }
        for (const Shorthand& s : shorthands) {
            if (k.text != s.keyword)
                continue;
            c.className = s.className;
            c.text = text();
            expect(",");
            c.id = static_cast<int>(number());
            expect(",");
            position(&c);
            c.style = base | s.style;
            if (isPunct(",")) {
                ++i_;
                c.style = style(c.style);
                if (isPunct(",")) {
                    ++i_;
                    c.exStyle = style(0);
                }
            }
            return c;
        }
        fail(k.file, k.line, "unsupported control statement " + k.text);
    }

    void position(Control* c) {
        c->x = static_cast<int>(number());
        expect(",");
        c->y = static_cast<int>(number());
        expect(",");
        c->cx = static_cast<int>(number());
        expect(",");
        c->cy = static_cast<int>(number());
    }

    std::vector<Token> t_;
    std::map<std::string, long> defines_;
    std::string path_;
    size_t i_ = 0;
};

}  // namespace

bool builtinConstant(const std::string& name, uint32_t* value) {
#define BVU_CONSTANT(n) \
    { #n, static_cast < uint32_t>(n) }
    static const std::map<std::string, uint32_t> constants = {
        BVU_CONSTANT(WS_OVERLAPPED),
        BVU_CONSTANT(WS_POPUP),
        BVU_CONSTANT(WS_CHILD),
        BVU_CONSTANT(WS_VISIBLE),
        BVU_CONSTANT(WS_DISABLED),
        BVU_CONSTANT(WS_CLIPSIBLINGS),
        BVU_CONSTANT(WS_CLIPCHILDREN),
        BVU_CONSTANT(WS_CAPTION),
        BVU_CONSTANT(WS_BORDER),
        BVU_CONSTANT(WS_DLGFRAME),
        BVU_CONSTANT(WS_VSCROLL),
        BVU_CONSTANT(WS_HSCROLL),
        BVU_CONSTANT(WS_SYSMENU),
        BVU_CONSTANT(WS_THICKFRAME),
        BVU_CONSTANT(WS_GROUP),
        BVU_CONSTANT(WS_TABSTOP),
        BVU_CONSTANT(WS_MINIMIZEBOX),
        BVU_CONSTANT(WS_MAXIMIZEBOX),
        BVU_CONSTANT(WS_EX_CLIENTEDGE),
        BVU_CONSTANT(WS_EX_STATICEDGE),
        BVU_CONSTANT(DS_3DLOOK),
        BVU_CONSTANT(DS_SETFONT),
        BVU_CONSTANT(DS_MODALFRAME),
        BVU_CONSTANT(DS_CENTER),
        BVU_CONSTANT(BS_PUSHBUTTON),
        BVU_CONSTANT(BS_DEFPUSHBUTTON),
        BVU_CONSTANT(BS_CHECKBOX),
        BVU_CONSTANT(BS_AUTOCHECKBOX),
        BVU_CONSTANT(BS_RADIOBUTTON),
        BVU_CONSTANT(BS_3STATE),
        BVU_CONSTANT(BS_AUTO3STATE),
        BVU_CONSTANT(BS_GROUPBOX),
        BVU_CONSTANT(BS_AUTORADIOBUTTON),
        BVU_CONSTANT(SS_LEFT),
        BVU_CONSTANT(SS_CENTER),
        BVU_CONSTANT(SS_RIGHT),
        BVU_CONSTANT(SS_NOTIFY),
        BVU_CONSTANT(IDOK),
        BVU_CONSTANT(IDCANCEL),
        BVU_CONSTANT(IDABORT),
        BVU_CONSTANT(IDRETRY),
        BVU_CONSTANT(IDIGNORE),
        BVU_CONSTANT(IDYES),
        BVU_CONSTANT(IDNO),
    };
#undef BVU_CONSTANT
    auto it = constants.find(name);
    if (it == constants.end())
        return false;
    if (value != nullptr)
        *value = it->second;
    return true;
}

Script parseScript(const std::string& path, const FileReader& read) {
    std::map<std::string, long> defines;
    std::vector<Token> tokens;
    Preprocessor(read, &defines).run(path, &tokens);
    Script script = Parser(std::move(tokens), defines, path).parse();
    script.defines = std::move(defines);
    return script;
}

}  // namespace rcgen
}  // namespace bvu
