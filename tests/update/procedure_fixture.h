// A session over the fake bus with the scripted device plugged in, a recording notifier, and the
// clock compressed fiftyfold (the 7 s restart waits take 140 ms, the 10 s attach wait 200 ms).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tests/update/fake_device.h"
#include "usb/usbutils.h"

namespace bvu {
namespace test {

class ProcedureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clock::setTimeScaleForTests(scale());
        kd::setKernelDriverFactory(bus->factory());
        device = std::make_unique<FakeDevice>(bus);
        session = std::make_unique<USBUtils>();
        ASSERT_TRUE(bus->waitForAcknowledgements(1));  // the run-mode device is attached
    }
    void TearDown() override {
        session.reset();
        device.reset();
        kd::setKernelDriverFactory({});
        clock::setTimeScaleForTests(1.0);
    }
    virtual double scale() const { return 0.02; }

    std::unique_ptr<USBUpdater::Notifier> notifier() {
        return std::make_unique<RecordingNotifier>(log);
    }
    // The message of the BVExBase that f throws ("(nothing thrown)" otherwise).
    static std::string errorOf(const std::function<void()>& f) {
        try {
            f();
        } catch (const BVExBase& e) {
            return e.message();
        }
        return "(nothing thrown)";
    }
    std::vector<std::string> requests() const { return trace(*bus); }

    std::shared_ptr<FakeBus> bus = FakeBus::create();
    std::unique_ptr<FakeDevice> device;
    std::unique_ptr<USBUtils> session;
    std::shared_ptr<std::vector<std::string>> log = std::make_shared<std::vector<std::string>>();
};

}  // namespace test
}  // namespace bvu
