// bvu-record-tool: makes the image data that the updater carries.
//
//   bvu-record-tool --output FILE.cpp [--video-image FILE] [--video-version TEXT]
//                   [--control-image FILE] [--control-version TEXT] [--key HEX64]
//
// Each image (by default the synthetic image of its version) becomes a plain record, packed
// where that is shorter, which is checked by unpacking it again, then sealed with AES-256-GCM.
// The output is a C++ source that defines the data of update/embedded_images.h: version text,
// sealed video record, version text, sealed control record, in one array, and beside them the
// key and the plain labels "FPGAData version V" and "MicroCtlData version V".
//
// Runs on the build machine. Exit code 0 on success; 1 with a message on standard error.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "synthetic_images/firmware_images.h"
#include "tools/records/record_builder.h"
#include "update/image_provider.h"

namespace {

using bvu::records::buildRecord;

// The key the build uses unless told otherwise. It travels in the program beside the records:
// the sealing guards the carried firmware against corruption and tampering of the file, it is
// not a secret from whoever holds the program.
const char* kDefaultKey = "5b8e0c3f71a24d96e0b7c5a1f3d29e846c1a7b50d3e9f2a48b6c0d5e7f1a2b3c";

struct Options {
    std::string output;
    std::string videoImage, videoVersion = "1.02";
    std::string controlImage, controlVersion = "1.12";
    std::string key = kDefaultKey;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc)
            throw std::runtime_error("option " + arg + " needs a value");
        std::string value = argv[++i];
        if (arg == "--output")
            o.output = value;
        else if (arg == "--video-image")
            o.videoImage = value;
        else if (arg == "--video-version")
            o.videoVersion = value;
        else if (arg == "--control-image")
            o.controlImage = value;
        else if (arg == "--control-version")
            o.controlVersion = value;
        else if (arg == "--key")
            o.key = value;
        else
            throw std::runtime_error("unknown option " + arg);
    }
    if (o.output.empty())
        throw std::runtime_error("--output is required");
    return o;
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<uint8_t> imageOf(ImageKind kind, const std::string& path, const std::string& version) {
    if (!path.empty())
        return readFile(path);
    return kind == ImageKind::Video ? bvu::firmware::makeVideoImage(version)
                                    : bvu::firmware::makeControlImage(version);
}

// Record and slot of one kind, each checked by the updater's own reading of it.
std::vector<uint8_t> sealedSlot(ImageKind kind, const std::vector<uint8_t>& image,
                                const std::vector<char>& version, const std::vector<uint8_t>& key) {
    const char* name = bvu::image::kindName(kind);
    if (image.empty())
        throw std::runtime_error(std::string("the ") + name + " image is empty");
    if (kind == ImageKind::Control)
        bvu::image::checkControlImageLength(int(image.size()));
    std::vector<uint8_t> record = buildRecord(image);
    bvu::image::RecordView view = bvu::image::parseRecord(record.data(), record.size());
    if (view.isPacked()) {
        auto unpacked = unpackImage(view.data, view.packedLength, view.rawLength);
        if (std::memcmp(unpacked.get(), image.data(), image.size()) != 0)
            throw std::runtime_error("packing does not round-trip");
    }
    std::vector<uint8_t> slot = bvu::records::sealRecord(kind, version, record, key.data());
    if (bvu::sealed::openSlot(kind, slot.data(), slot.size(), version.data(), key.data()) != record)
        throw std::runtime_error("sealing does not round-trip");
    std::cerr << "bvu-record-tool: " << name << " image " << image.size() << " bytes, record "
              << record.size() << " bytes (" << (view.isPacked() ? "packed" : "raw")
              << "), sealed slot " << slot.size() << " bytes\n";
    return slot;
}

// Bytes as string-literal pieces: printable ASCII as itself, the rest as three-digit octal
// escapes (which never run into a following digit). Compilers read this far faster than a
// list of numbers.
void writeLiteral(std::ostream& out, const std::vector<uint8_t>& bytes) {
    int column = 0;
    out << "    \"";
    for (uint8_t b : bytes) {
        if (column >= 96) {
            out << "\"\n    \"";
            column = 0;
        }
        if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\' && b != '?') {
            out << static_cast<char>(b);
            ++column;
        } else {
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\%03o", b);
            out << esc;
            column += 4;
        }
    }
    out << "\"";
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\' || c == '?')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

void writeSource(const Options& o, const std::vector<uint8_t>& data,
                 const std::vector<uint8_t>& key) {
    std::ostringstream out;
    out << "// Generated by bvu-record-tool at build time. Do not edit.\n"
           "#include \"update/embedded_images.h\"\n\n"
           "namespace bvu {\nnamespace embedded {\n\n"
           "// One array keeps the four parts in their order and without gaps; the string\n"
           "// literal's own NUL comes after the last part.\n"
           "extern const uint8_t imageData[layout::kImageDataSize + 1] =\n";
    writeLiteral(out, data);
    out << ";\n\nextern const uint8_t recordKey[sealed::kKeySize] = {";
    for (size_t i = 0; i < key.size(); ++i)
        out << (i % 8 == 0 ? "\n    " : " ") << int(key[i]) << ",";
    out << "\n};\n\n"
        << "extern const char videoLabel[] = " << quoted("FPGAData version " + o.videoVersion)
        << ";\n"
        << "extern const char controlLabel[] = "
        << quoted("MicroCtlData version " + o.controlVersion) << ";\n\n"
        << "}  // namespace embedded\n}  // namespace bvu\n";

    // Written whole to a temporary name first, so that a failed run leaves no half file that
    // the build would take as up to date.
    std::string temporary = o.output + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << out.str();
        if (!file.flush())
            throw std::runtime_error("cannot write " + temporary);
    }
    std::remove(o.output.c_str());
    if (std::rename(temporary.c_str(), o.output.c_str()) != 0)
        throw std::runtime_error("cannot write " + o.output);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Options o = parse(argc, argv);
        std::vector<uint8_t> key = bvu::records::parseKey(o.key);
        std::vector<char> videoVersion = bvu::records::versionField(o.videoVersion);
        std::vector<char> controlVersion = bvu::records::versionField(o.controlVersion);

        std::vector<uint8_t> data;
        data.insert(data.end(), videoVersion.begin(), videoVersion.end());
        std::vector<uint8_t> slot =
            sealedSlot(ImageKind::Video, imageOf(ImageKind::Video, o.videoImage, o.videoVersion),
                       videoVersion, key);
        data.insert(data.end(), slot.begin(), slot.end());
        data.insert(data.end(), controlVersion.begin(), controlVersion.end());
        slot = sealedSlot(ImageKind::Control,
                          imageOf(ImageKind::Control, o.controlImage, o.controlVersion),
                          controlVersion, key);
        data.insert(data.end(), slot.begin(), slot.end());
        if (data.size() != bvu::layout::kImageDataSize)
            throw std::runtime_error("the image data does not have its layout's size");
        writeSource(o, data, key);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "bvu-record-tool: " << e.what() << "\n";
        return 1;
    }
}
