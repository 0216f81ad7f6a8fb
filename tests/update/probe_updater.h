// An updater that opens the base's protected procedures to the tests.
#pragma once

#include "update/usbupdater.h"

namespace bvu {
namespace test {

class ProbeUpdater : public USBUpdater {
  public:
    std::string version() const override { return "probe"; }
    void update() override {}
    using USBUpdater::downloadControlFirmware;
    using USBUpdater::downloadVideoFirmware;
    using USBUpdater::reportProgress;
    using USBUpdater::reportStatus;
};

}  // namespace test
}  // namespace bvu
