// bvu-firmware-gen control|video VERSION OUTFILE: writes the synthetic firmware image of a
// version (see synthetic_images/firmware_images.h). Exit codes: 0 written, 2 bad usage, 1 write
// failure.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "synthetic_images/firmware_images.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: bvu-firmware-gen control|video VERSION OUTFILE\n"
                 "  writes the synthetic control or video firmware image of VERSION (1 to 15\n"
                 "  characters; a video version must read X.YY with X <= 7 and YY <= 31)\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4)
        return usage();
    const std::string kind = argv[1];
    const std::string version = argv[2];
    const char* path = argv[3];
    std::vector<uint8_t> image;
    try {
        if (kind == "control") {
            image = bvu::firmware::makeControlImage(version);
        } else if (kind == "video") {
            uint8_t packed = 0;
            if (!bvu::firmware::packVideoVersion(version, &packed)) {
                std::fprintf(stderr, "bvu-firmware-gen: video version '%s' is not X.YY\n",
                             version.c_str());
                return 2;
            }
            image = bvu::firmware::makeVideoImage(version);
        } else {
            return usage();
        }
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "bvu-firmware-gen: %s\n", e.what());
        return 2;
    }
    FILE* out = std::fopen(path, "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "bvu-firmware-gen: cannot open %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    bool ok = std::fwrite(image.data(), 1, image.size(), out) == image.size();
    ok = (std::fclose(out) == 0) && ok;
    if (!ok) {
        std::fprintf(stderr, "bvu-firmware-gen: cannot write %s\n", path);
        std::remove(path);
        return 1;
    }
    return 0;
}
