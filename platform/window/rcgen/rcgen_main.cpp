// bvu_rcgen: turns a program's resource script into its resources for the window layer.
// Usage: bvu_rcgen <script.rc> <output.cpp> <end-of-input command>, the command being the name of
// a control id that the script defines (IDC_EXIT). The output is rewritten only when it
// changes, and every icon file that the script names must exist next to it.
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/window/rcgen/rc_parser.h"

namespace {

bool readFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    *text = buffer.str();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: bvu_rcgen <script.rc> <output.cpp> <end-of-input command>\n";
        return 2;
    }
    const std::string script = argv[1], output = argv[2], command = argv[3];
    try {
        bvu::rcgen::Script parsed = bvu::rcgen::parseScript(script, readFile);
        auto endOfInput = parsed.defines.find(command);
        if (endOfInput == parsed.defines.end()) {
            std::cerr << script << ": the end-of-input command " << command << " is not defined\n";
            return 1;
        }
        std::string dir = script.substr(0, script.rfind('/') + 1);
        for (const auto& icon : parsed.icons) {
            std::string ignored;
            if (!readFile(dir + icon.file, &ignored)) {
                std::cerr << script << ": icon file " << icon.file << " not found\n";
                return 1;
            }
        }
        std::string name = script.substr(script.rfind('/') + 1);
        std::string table =
            bvu::rcgen::generateTable(parsed, name, static_cast<int>(endOfInput->second));
        std::string old;
        if (readFile(output, &old) && old == table)
            return 0;
        std::ofstream out(output, std::ios::binary | std::ios::trunc);
        out << table;
        if (!out) {
            std::cerr << output << ": cannot write\n";
            return 1;
        }
    } catch (const bvu::rcgen::ParseError& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
    return 0;
}
