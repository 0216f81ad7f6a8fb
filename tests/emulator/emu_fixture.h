// Test support: a fresh emulated device in a temporary folder, and short ways to talk to it.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "platform/clock.h"
#include "tests/support/temp_dir.h"

namespace bvu {
namespace emulator {
namespace test {

using bvu::test::TempDir;

// Records what a listener is told.
class RecordingListener : public BusListener {
  public:
    void arrived(const Presence& device) override;
    void left(uint32_t busId) override;
    std::vector<std::string> events() const;  // "arrived:3014:<busId>", "left:<busId>"
    // Waits (real time) until at least n events have come: a guise is visible before the
    // listeners have been told of it.
    bool waitForEvents(size_t n, int timeoutMs = 10000) const;

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> events_;
};

struct Answer {
    Reply reply = Reply::Gone;
    std::vector<uint8_t> data;
};

class EmulatorTest : public ::testing::Test {
  public:
    void SetUp() override;
    void TearDown() override;

    // Creates the device with options and opens its bus.
    void make(const CreateOptions& options = CreateOptions{});
    void reopen();  // lets the bus go (saved) and opens the file again

    uint32_t id() const;  // the bus id of the (first) device on the bus; 0 when none
    Guise guise() const { return inspect(*bus).guise; }
    bool waitFor(Guise g, uint32_t ms = 250000) { return waitForGuise(*bus, g, ms); }

    Answer in(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length);
    Reply out(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
              const std::vector<uint8_t>& data = {});
    Reply bulk(uint8_t endpoint, const std::vector<uint8_t>& data, uint32_t* taken = nullptr);

    // Run mode.
    Reply cmd(uint8_t a, uint8_t b) { return out(0x20, 1, static_cast<uint16_t>(a << 8 | b), 0); }
    Answer rd(uint8_t a, uint8_t b, uint16_t address, uint16_t length) {
        return in(0xA0, 3, static_cast<uint16_t>(a << 8 | b), address, length);
    }
    Reply wr(uint8_t a, uint8_t b, uint16_t address, const std::vector<uint8_t>& data) {
        return out(0x20, 2, static_cast<uint16_t>(a << 8 | b), address, data);
    }
    std::string infoText(uint8_t n);

    // Bootloader (wIndex 4, as the host sends it).
    Reply dnload(const std::vector<uint8_t>& block) { return out(0x21, 1, 0, 4, block); }
    Answer upload(uint16_t length) { return in(0xA1, 2, 0, 4, length); }
    Answer getStatus() { return in(0xA1, 3, 0, 4, 6); }
    uint8_t getState();
    Reply clrStatus() { return out(0x21, 4, 0, 4); }
    Reply abort() { return out(0x21, 6, 0, 4); }

    TempDir dir;
    std::string path;
    std::shared_ptr<EmulatedBus> bus;
};

// Hex text of bytes ("0a1b...").
std::string hex(const std::vector<uint8_t>& data);

}  // namespace test
}  // namespace emulator
}  // namespace bvu
