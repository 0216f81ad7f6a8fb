// The session against a fresh emulated device (the device model of emulator/) in a folder of the
// test's own: what a real device would see and do, checked on the device afterwards.
//
// Threads: the fixture is used from the test's thread only.
#pragma once

#include <memory>
#include <string>

#include "emulator/emulator.h"
#include "tests/support/session_fixture.h"
#include "tests/support/temp_dir.h"

namespace bvu {
namespace test {

class EmulatedDeviceTest : public SessionTest {
  protected:
    // Closes the session, removes the driver factory, lets the bus go (saved) and removes the
    // folder.
    void TearDown() override;

    // Creates the device in the state file `path` and opens its bus.
    void createDevice(const emulator::CreateOptions& options = emulator::CreateOptions{});
    // Serves the bus to the driver access layer through the in-process emulator host.
    void serveInProcess();

    TempDir dir;
    const std::string path = dir.file("device.json");
    std::shared_ptr<emulator::EmulatedBus> bus;
};

// A fault rule: the next bulk transfer to that endpoint stalls.
emulator::FaultRule bulkStall(uint8_t endpoint);

}  // namespace test
}  // namespace bvu
