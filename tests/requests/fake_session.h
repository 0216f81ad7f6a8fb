// A session over the fake kernel driver with a device that answers control IN requests from a
// script (keyed by bmRequestType, bRequest and wValue) and takes every OUT transfer whole.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/clock.h"
#include "tests/support/fake_driver.h"
#include "usb/usbutils.h"

namespace bvu {
namespace test {

using Bytes = std::vector<uint8_t>;

class FakeSessionTest : public ::testing::Test {
  protected:
    // Nominal durations run 20 times faster: the 10 s attach wait takes half a second.
    static constexpr double kScale = 0.05;

    void SetUp() override {
        clock::setTimeScaleForTests(kScale);
        kd::setKernelDriverFactory(bus->factory());
        bus->onTransfer([this](kd::TransferRequest& r) { return answer(r); });
    }
    void TearDown() override {
        session.reset();
        kd::setKernelDriverFactory({});
        clock::setTimeScaleForTests(1.0);
    }

    // Plugs the guises asked for, opens the session and waits until they have arrived.
    USBUtils& open(bool run, bool bootloader) {
        if (run)
            bus->plug(FakeBus::makeInfo(0x03EB, 0x3014));
        if (bootloader)
            bus->plug(FakeBus::makeInfo(0x03EB, 0x2FFD, 0, {}));
        session.reset(new USBUtils);
        if (run)
            session->waitForDevice();
        if (bootloader)
            session->waitForBootloader();
        return *session;
    }

    // The IN reply to a request; a function sees how often it was asked already.
    void reply(uint8_t type, uint8_t request, uint16_t value, Bytes bytes) {
        reply(type, request, value, [bytes](int) { return bytes; });
    }
    void reply(uint8_t type, uint8_t request, uint16_t value, std::function<Bytes(int)> f) {
        replies[{type, request, value}] = std::move(f);
        asked.erase({type, request, value});
    }

    // The control transfers seen, as setup packets (8 bytes) followed by their OUT data.
    std::vector<Bytes> controls() const {
        std::vector<Bytes> out;
        for (const FakeTransfer& t : bus->transfers()) {
            if (t.pipe != 0)
                continue;
            Bytes b = t.setup;
            b.insert(b.end(), t.data.begin(), t.data.end());
            out.push_back(b);
        }
        return out;
    }

    // Nominal milliseconds that f takes.
    static double nominalMs(const std::function<void()>& f) {
        auto start = clock::now();
        f();
        return clock::nominalMsBetween(start, clock::now());
    }
    static std::string errorOf(const std::function<void()>& f) {
        try {
            f();
        } catch (const USBUtils::Error& e) {
            return e.message();
        }
        return "(no USBUtils::Error)";
    }

    std::shared_ptr<FakeBus> bus = FakeBus::create();
    std::unique_ptr<USBUtils> session;
    UDA_STATUS failWith = 0;  // every transfer fails with this status when set
    // Filled into the whole IN buffer before the reply is copied: what a careless reader
    // would pick up beyond the delivered bytes.
    uint8_t garbage = '#';

  private:
    UDA_STATUS answer(kd::TransferRequest& r) {
        if (failWith != 0)
            return failWith;
        if (!r.read) {
            r.transferred = r.size;
            return 0;
        }
        auto* buffer = static_cast<uint8_t*>(r.buffer);
        std::fill(buffer, buffer + r.size, garbage);
        auto key = std::make_tuple(r.setup[0], r.setup[1],
                                   static_cast<uint16_t>(r.setup[2] | r.setup[3] << 8));
        auto it = replies.find(key);
        if (it == replies.end())
            return UDA_HC_STALL_PID;
        Bytes bytes = it->second(asked[key]++);
        r.transferred = static_cast<uint32_t>(std::min<size_t>(bytes.size(), r.size));
        std::copy(bytes.begin(), bytes.begin() + r.transferred, buffer);
        return 0;
    }
    std::map<std::tuple<uint8_t, uint8_t, uint16_t>, std::function<Bytes(int)>> replies;
    std::map<std::tuple<uint8_t, uint8_t, uint16_t>, int> asked;
};

}  // namespace test
}  // namespace bvu
