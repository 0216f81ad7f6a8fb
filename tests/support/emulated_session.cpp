#include "tests/support/emulated_session.h"

#include "emulator/backend.h"

namespace bvu {
namespace test {

void EmulatedDeviceTest::TearDown() {
    session.reset();
    kd::setKernelDriverFactory({});  // it holds the bus
    bus.reset();
    SessionTest::TearDown();
}

void EmulatedDeviceTest::createDevice(const emulator::CreateOptions& options) {
    bus.reset();
    std::string error;
    ASSERT_TRUE(emulator::createDevice(path, options, &error)) << error;
    bus = emulator::openBus(path, &error);
    ASSERT_TRUE(bus) << error;
}

void EmulatedDeviceTest::serveInProcess() {
    std::shared_ptr<emulator::EmulatedBus> shared = bus;
    kd::setKernelDriverFactory([shared](UDA_STATUS* status) {
        *status = 0;
        return emulator::makeEmulatorDriver(shared);
    });
}

emulator::FaultRule bulkStall(uint8_t endpoint) {
    emulator::FaultRule rule;
    rule.kind = emulator::FaultKind::Stall;
    rule.match = rule.matchBulk = true;
    rule.matchRequest = endpoint;
    return rule;
}

}  // namespace test
}  // namespace bvu
