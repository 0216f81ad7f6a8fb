// A scripted stand-in for the device on the fake bus, for the updaters' procedures: it answers
// the run-mode and DFU requests they make, re-enumerates on the mode switches, and keeps what
// was written (bulk download, memory, programmed blocks). The request trace itself is the bus's
// (FakeBus::transfers), read back as one line per request by describe().
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tests/support/fake_driver.h"
#include "update/usbupdater.h"

namespace bvu {
namespace test {

struct DfuAnswer {
    uint8_t status;
    uint32_t pollTimeout;
    uint8_t state;
};

class FakeDevice {
  public:
    // Plugs the device in, in run mode.
    explicit FakeDevice(std::shared_ptr<FakeBus> bus);
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    // ---- Scripts (set before the procedure runs) ----
    uint8_t release = 2;           // major byte of bcdDevice
    std::deque<int> readyAnswers;  // ready byte per poll; -1: no byte; then readyDefault
    int readyDefault = 1;
    std::map<uint16_t, uint8_t> memory;  // area 5/1, byte addressed
    std::set<uint16_t> silentAddresses;  // reads there deliver no byte
    // GETSTATE answers in order; when used up: dfuIDLE before the first program block, then
    // dfuDNLOAD-IDLE.
    std::deque<uint8_t> states;
    // GETSTATUS answers in the block loop (asked right after a GETSTATE or a GETSTATUS); the
    // status polls of the bootloader's own commands always find dfuIDLE.
    std::deque<DfuAnswer> loopStatuses;
    uint8_t configuration = 0xFF;    // bootloader configuration byte 02/00
    bool keepConfiguration = false;  // writes to 02/00 are taken but change nothing
    // The control flash as written by the program blocks (0xFF elsewhere) is read back through
    // the read command 03 00 and uploads of at most 1,024 bytes; these bytes read otherwise.
    std::map<uint16_t, uint8_t> flashChanges;
    uint32_t uploadLimit = 1024;  // the most one flash upload delivers
    UDA_STATUS failBulkDownloadWith = 0;

    // ---- What the device received ----
    std::vector<uint8_t> downloaded() const;                      // bulk download, concatenated
    std::map<uint32_t, std::vector<uint8_t>> programmed() const;  // start offset -> block data
    uint8_t memoryAt(uint16_t address) const;
    bool inBootloader() const;
    // When each request that reached the device arrived, in order (the bus's trace without
    // the requests refused before they got here, which these tests do not make).
    std::vector<clock::TimePoint> requestTimes() const;

  private:
    UDA_STATUS answer(kd::TransferRequest& request);
    UDA_STATUS answerDfu(kd::TransferRequest& request, uint8_t request_, uint16_t length);
    void switchTo(bool bootloader);
    uint8_t flashAt(uint16_t address) const;  // under the lock

    std::shared_ptr<FakeBus> bus_;
    mutable std::mutex mutex_;
    uint32_t busId_ = 0;
    bool bootloader_ = false;
    bool pendingStart_ = false;
    bool reading_ = false;  // a read command is pending: uploads deliver the flash
    uint32_t readNext_ = 0, readLast_ = 0;
    bool lastWasStateRequest_ = false;
    int blocks_ = 0;
    std::vector<uint8_t> downloaded_;
    std::map<uint32_t, std::vector<uint8_t>> programmed_;
    std::vector<clock::TimePoint> times_;
};

// One line per request, for comparing sequences: "cmd 5,1,0,0", "read 3,3 @0x0000 1",
// "write 5,1 @0x003E 00", "dnload 32768", "get-descriptor", "dfu-dnload 32 04 00 ff 00 00 00",
// "dfu-dnload 0", "dfu-upload 1", "dfu-getstatus", "dfu-getstate", "dfu-clrstatus".
std::string describe(const FakeTransfer& t);
std::vector<std::string> trace(const FakeBus& bus);

// A notifier that writes what it is told to a shared log ("progress 0.0666666701",
// "status Preparing for download.", and "destroyed" when it goes).
class RecordingNotifier : public USBUpdater::Notifier {
  public:
    explicit RecordingNotifier(std::shared_ptr<std::vector<std::string>> log)
        : log_(std::move(log)) {}
    ~RecordingNotifier() override { log_->push_back("destroyed"); }
    void progress(float fraction) override;
    void status(const std::string& message) override { log_->push_back("status " + message); }

  private:
    std::shared_ptr<std::vector<std::string>> log_;
};

// The log line of progress(k / n) as the base reports it.
std::string progressLine(int k, int n);
// The lines of a phase counted from 1/n to last/n (each step one line).
std::vector<std::string> progressRun(int first, int last, int n);

// Concatenation of line lists, for writing expected sequences phase by phase.
inline std::vector<std::string> operator+(std::vector<std::string> a,
                                          const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace test
}  // namespace bvu
