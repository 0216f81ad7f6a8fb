#include "tests/support/temp_dir.h"

#include <atomic>
#include <filesystem>
#include <random>

namespace bvu {
namespace test {

TempDir::TempDir() {
    // Random and counted: test processes run side by side, and one process makes many.
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (;;) {
        const std::filesystem::path p =
            base / ("bvu-test-" + std::to_string(rd()) + "-" + std::to_string(counter++));
        std::error_code ec;
        if (std::filesystem::create_directory(p, ec)) {
            path_ = p.string();
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace test
}  // namespace bvu
