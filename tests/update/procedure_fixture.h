// A session over the fake bus with the scripted device plugged in, a recording notifier, and the
// clock compressed fiftyfold (the 7 s restart waits take 140 ms, the 10 s attach wait 200 ms).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/session_fixture.h"
#include "tests/update/fake_device.h"

namespace bvu {
namespace test {

class ProcedureTest : public FakeBusTest {
  protected:
    void SetUp() override {
        FakeBusTest::SetUp();
        device = std::make_unique<FakeDevice>(bus);
        openSession();
        ASSERT_TRUE(bus->waitForAcknowledgements(1));  // the run-mode device is attached
    }
    void TearDown() override {
        session.reset();
        device.reset();
        FakeBusTest::TearDown();
    }
    double timeScale() const override { return 0.02; }

    std::unique_ptr<USBUpdater::Notifier> notifier() {
        return std::make_unique<RecordingNotifier>(log);
    }
    std::vector<std::string> requests() const { return trace(*bus); }

    std::unique_ptr<FakeDevice> device;
    std::shared_ptr<std::vector<std::string>> log = std::make_shared<std::vector<std::string>>();
};

}  // namespace test
}  // namespace bvu
