// A temporary folder of the test's own (under the system's temporary folder), removed with
// everything in it when the object goes.
#pragma once

#include <string>

namespace bvu {
namespace test {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace test
}  // namespace bvu
