// The reader of the resource script agrees with windres: both scripts are compiled with windres
// into a .res file, whose dialog templates are decoded and compared with what the reader makes
// of the same script (and, for updater.rc, with the table built into the layer).
#include <gtest/gtest.h>

#include <strings.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/win32_window.h"
#include "platform/window/rcgen/rc_parser.h"
#include "platform/window/resource_table.h"

namespace bvu {
namespace window {
namespace {

struct ResControl {
    uint32_t style = 0, exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0, id = 0;
    std::string className, text;
};
struct ResDialog {
    uint32_t style = 0, exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0, pointSize = 0;
    std::string caption, fontName;
    std::vector<ResControl> controls;
};
struct Res {
    std::map<int, ResDialog> dialogs;
    std::vector<int> iconGroups;
};

class Reader {
  public:
    Reader(const std::string& data, size_t pos, size_t end) : d_(data), pos_(pos), end_(end) {}
    uint16_t u16() { return take<uint16_t>(); }
    uint32_t u32() { return take<uint32_t>(); }
    int s16() { return take<int16_t>(); }
    void align4(size_t base) { pos_ = base + ((pos_ - base + 3) & ~size_t(3)); }
    size_t pos() const { return pos_; }
    void skip(size_t n) { pos_ += n; }
    // A name or ordinal; ordinals come back as "#<n>".
    std::string nameOrOrdinal() {
        if (peek16() == 0xFFFF) {
            u16();
            return "#" + std::to_string(u16());
        }
        return utf16();
    }
    std::string utf16() {
        std::string s;
        for (uint16_t c; (c = u16()) != 0;) s += static_cast<char>(c);
        return s;
    }

  private:
    uint16_t peek16() {
        uint16_t v;
        std::memcpy(&v, d_.data() + pos_, 2);
        return v;
    }
    template <class T>
    T take() {
        if (pos_ + sizeof(T) > end_)
            throw std::runtime_error("truncated resource");
        T v;
        std::memcpy(&v, d_.data() + pos_, sizeof(T));
        pos_ += sizeof(T);
        return v;
    }
    const std::string& d_;
    size_t pos_, end_;
};

std::string className(const std::string& raw) {
    static const std::map<std::string, std::string> ordinals = {
        {"#128", "BUTTON"}, {"#129", "EDIT"}, {"#130", "STATIC"}};
    auto it = ordinals.find(raw);
    return it != ordinals.end() ? it->second : raw;
}

ResDialog decodeDialog(const std::string& data, size_t begin, size_t end) {
    Reader r(data, begin, end);
    ResDialog d;
    bool extended = false;
    uint32_t first = r.u32();
    if ((first & 0xFFFF) == 1 && (first >> 16) == 0xFFFF) {
        extended = true;
        r.u32();  // help id
        d.exStyle = r.u32();
        d.style = r.u32();
    } else {
        d.style = first;
        d.exStyle = r.u32();
    }
    int count = r.u16();
    d.x = r.s16();
    d.y = r.s16();
    d.cx = r.s16();
    d.cy = r.s16();
    r.nameOrOrdinal();  // menu
    r.nameOrOrdinal();  // class
    d.caption = r.utf16();
    if (d.style & DS_SETFONT) {
        d.pointSize = r.u16();
        if (extended)
            r.skip(4);  // weight, italic, character set
        d.fontName = r.utf16();
    }
    for (int i = 0; i < count; ++i) {
        r.align4(begin);
        ResControl c;
        if (extended) {
            r.u32();  // help id
            c.exStyle = r.u32();
            c.style = r.u32();
        } else {
            c.style = r.u32();
            c.exStyle = r.u32();
        }
        c.x = r.s16();
        c.y = r.s16();
        c.cx = r.s16();
        c.cy = r.s16();
        c.id = extended ? static_cast<int>(r.u32()) : static_cast<int16_t>(r.u16());
        c.className = className(r.nameOrOrdinal());
        c.text = r.nameOrOrdinal();
        r.skip(r.u16());
        d.controls.push_back(c);
    }
    return d;
}

// Compiles a script with windres into a .res file and decodes it.
bool compile(const std::string& script, Res* out) {
    char dir[] = "/tmp/bvu-windres-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return false;
    std::string res = std::string(dir) + "/out.res";
    std::string include = script.substr(0, script.rfind('/'));
    std::string command =
        std::string(BVU_WINDRES) + " -I " + include + " -O res -i " + script + " -o " + res;
    bool ok = std::system(command.c_str()) == 0;
    std::ifstream in(res, std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    std::string data = buffer.str();
    std::remove(res.c_str());
    rmdir(dir);
    if (!ok)
        return false;
    for (size_t pos = 0; pos + 8 <= data.size();) {
        Reader header(data, pos, data.size());
        uint32_t size = header.u32();
        uint32_t headerSize = header.u32();
        std::string type = header.nameOrOrdinal();
        std::string name = header.nameOrOrdinal();
        size_t body = pos + headerSize;
        if (name[0] == '#') {
            int id = std::atoi(name.c_str() + 1);
            if (type == "#5")
                out->dialogs[id] = decodeDialog(data, body, body + size);
            if (type == "#14")
                out->iconGroups.push_back(id);
        }
        pos = (body + size + 3) & ~size_t(3);
    }
    return true;
}

bool readFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream b;
    b << in.rdbuf();
    *text = b.str();
    return true;
}

void expectSame(const rcgen::Dialog& mine, const ResDialog& theirs) {
    EXPECT_EQ(mine.style, theirs.style) << mine.name;
    EXPECT_EQ(mine.exStyle, theirs.exStyle) << mine.name;
    EXPECT_EQ(mine.x, theirs.x);
    EXPECT_EQ(mine.y, theirs.y);
    EXPECT_EQ(mine.cx, theirs.cx);
    EXPECT_EQ(mine.cy, theirs.cy);
    EXPECT_EQ(mine.caption, theirs.caption);
    EXPECT_EQ(mine.fontName, theirs.fontName);
    EXPECT_EQ(mine.pointSize, theirs.pointSize);
    ASSERT_EQ(mine.controls.size(), theirs.controls.size()) << mine.name;
    for (size_t i = 0; i < mine.controls.size(); ++i) {
        const rcgen::Control& a = mine.controls[i];
        const ResControl& b = theirs.controls[i];
        SCOPED_TRACE(mine.name + " control " + std::to_string(i + 1) + " \"" + a.text + "\"");
        EXPECT_EQ(a.id, b.id);
        EXPECT_EQ(strcasecmp(a.className.c_str(), b.className.c_str()), 0)
            << a.className << " / " << b.className;
        EXPECT_EQ(a.text, b.text);
        EXPECT_EQ(a.style, b.style) << std::hex << a.style << " / " << b.style;
        EXPECT_EQ(a.exStyle, b.exStyle);
        EXPECT_EQ(a.x, b.x);
        EXPECT_EQ(a.y, b.y);
        EXPECT_EQ(a.cx, b.cx);
        EXPECT_EQ(a.cy, b.cy);
    }
}

// windres is required by the configuration of the native test build (cmake/Dependencies.cmake).
class Windres : public ::testing::Test {};

TEST_F(Windres, ReaderAgreesOnTheTestScript) {
    Res res;
    ASSERT_TRUE(compile(BVU_TEST_RC, &res));
    rcgen::Script script = rcgen::parseScript(BVU_TEST_RC, readFile);
    ASSERT_EQ(script.dialogs.size(), 2u);
    for (const rcgen::Dialog& d : script.dialogs) {
        ASSERT_EQ(res.dialogs.count(d.id), 1u) << d.name;
        expectSame(d, res.dialogs[d.id]);
    }
    EXPECT_EQ(res.iconGroups, std::vector<int>{202});
}

TEST_F(Windres, BuiltInTableIsWhatWindowsGets) {
    Res res;
    ASSERT_TRUE(compile(BVU_UPDATER_RC, &res));
    EXPECT_EQ(res.iconGroups, std::vector<int>{102});
    const ResourceTable& table = programResources().table;
    ASSERT_EQ(table.dialogCount, res.dialogs.size());
    for (size_t i = 0; i < table.dialogCount; ++i) {
        const DialogTemplate& t = table.dialogs[i];
        rcgen::Dialog d;
        d.name = t.name;
        d.style = t.style;
        d.exStyle = t.exStyle;
        d.x = t.x;
        d.y = t.y;
        d.cx = t.cx;
        d.cy = t.cy;
        d.caption = t.caption;
        d.fontName = t.fontName;
        d.pointSize = t.pointSize;
        for (size_t k = 0; k < t.controlCount; ++k) {
            const ControlTemplate& c = t.controls[k];
            d.controls.push_back(rcgen::Control{c.id, c.className, c.text, c.style, c.exStyle, c.x,
                                                c.y, c.cx, c.cy});
        }
        ASSERT_EQ(res.dialogs.count(t.resourceId), 1u);
        expectSame(d, res.dialogs[t.resourceId]);
    }
}

}  // namespace
}  // namespace window
}  // namespace bvu
