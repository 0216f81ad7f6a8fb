#include "tests/update/fake_device.h"

#include <cstdio>
#include <cstring>

namespace bvu {
namespace test {
namespace {

constexpr uint16_t kVendor = 0x03EB;
constexpr uint16_t kRunProduct = 0x3014;
constexpr uint16_t kBootProduct = 0x2FFD;

std::string hexBytes(const std::vector<uint8_t>& data, size_t count) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < count && i < data.size(); ++i) {
        std::snprintf(b, sizeof b, " %02x", data[i]);
        out += b;
    }
    return out;
}

}  // namespace

FakeDevice::FakeDevice(std::shared_ptr<FakeBus> bus) : bus_(std::move(bus)) {
    bus_->onTransfer([this](kd::TransferRequest& r) { return answer(r); });
    busId_ = bus_->plug(FakeBus::makeInfo(kVendor, kRunProduct, 0, {0x02, 0x04},
                                          static_cast<uint16_t>(release << 8)));
}

FakeDevice::~FakeDevice() {
    bus_->onTransfer({});
}

void FakeDevice::switchTo(bool bootloader) {
    // Called without our lock: the bus delivers the detach and the attach on its own threads.
    uint32_t old = busId_;
    const size_t acknowledged = bus_->acknowledgements().size();
    bus_->unplug(old);
    // A real device stays off the bus for a while before it arrives in its other guise; this one
    // would be back at once, and the session could then hear of the arrival (on one
    // subscription's event thread) before the departure (on the other's) and still take the old
    // guise for present. Let the departure land first: its acknowledgement follows its callback.
    bus_->waitForAcknowledgements(acknowledged + 1);
    uint32_t id = bootloader ? bus_->plug(FakeBus::makeInfo(kVendor, kBootProduct, 0, {}))
                             : bus_->plug(FakeBus::makeInfo(kVendor, kRunProduct));
    std::lock_guard<std::mutex> lock(mutex_);
    busId_ = id;
    bootloader_ = bootloader;
}

UDA_STATUS FakeDevice::answer(kd::TransferRequest& r) {
    auto* data = static_cast<uint8_t*>(r.buffer);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        times_.push_back(clock::now());
    }
    if (r.pipe == 0x04) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failBulkDownloadWith != 0)
            return failBulkDownloadWith;
        downloaded_.insert(downloaded_.end(), data, data + r.size);
        r.transferred = r.size;
        return 0;
    }
    if (r.pipe != 0) {
        r.transferred = r.size;
        return 0;
    }
    const uint8_t type = r.setup[0], request = r.setup[1];
    const uint8_t a = r.setup[3], b = r.setup[2];
    const uint16_t index = static_cast<uint16_t>(r.setup[4] | r.setup[5] << 8);
    const uint16_t length = static_cast<uint16_t>(r.setup[6] | r.setup[7] << 8);

    if ((type == 0x21 || type == 0xA1) && index == 4)
        return answerDfu(r, request, length);

    bool reenumerate = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (type == 0x80 && request == 6) {  // GET_DESCRIPTOR (device)
            uint8_t d[18] = {18,   1,    0x00, 0x02, 0,       0, 0, 64, 0xEB,
                             0x03, 0x14, 0x30, 0,    release, 1, 2, 3,  1};
            size_t n = length < 18 ? length : 18;
            std::memcpy(data, d, n);
            r.transferred = static_cast<uint32_t>(n);
        } else if (type == 0x20 && request == 1) {  // BVR_CMD
            reenumerate = a == 6 && b == 4;         // into the bootloader
        } else if (type == 0xA0 && request == 3) {  // BVR_READ
            r.transferred = 0;
            if (a == 3 && b == 3) {
                int v = readyDefault;
                if (!readyAnswers.empty()) {
                    v = readyAnswers.front();
                    readyAnswers.pop_front();
                }
                if (v >= 0 && length >= 1) {
                    data[0] = static_cast<uint8_t>(v);
                    r.transferred = 1;
                }
            } else if (a == 5 && b == 1) {
                for (uint16_t i = 0; i < length; ++i) {
                    if (silentAddresses.count(static_cast<uint16_t>(index + i)))
                        break;
                    data[i] = memory[static_cast<uint16_t>(index + i)];
                    r.transferred = i + 1u;
                }
            }
        } else if (type == 0x20 && request == 2) {  // BVR_WRITE
            if (a == 5 && b == 1) {
                for (uint16_t i = 0; i < length; ++i)
                    memory[static_cast<uint16_t>(index + i)] = data[i];
            }
            r.transferred = length;
        }
    }
    if (reenumerate)
        switchTo(true);
    return 0;
}

UDA_STATUS FakeDevice::answerDfu(kd::TransferRequest& r, uint8_t request, uint16_t length) {
    auto* data = static_cast<uint8_t*>(r.buffer);
    bool start = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool afterState = lastWasStateRequest_;
        lastWasStateRequest_ = false;
        switch (request) {
            case 1:  // DNLOAD
                r.transferred = length;
                if (length == 0) {
                    start = pendingStart_;
                } else {
                    pendingStart_ = length == 5 && data[0] == 0x04 && data[1] == 0x03;
                    reading_ = length >= 6 && data[0] == 0x03 && data[1] == 0x00;
                    if (reading_) {
                        readNext_ = static_cast<uint32_t>(data[2] << 8 | data[3]);
                        readLast_ = static_cast<uint32_t>(data[4] << 8 | data[5]);
                    }
                    if (length >= 4 && data[0] == 0x04 && data[1] == 0x02 && data[2] == 0x00 &&
                        !keepConfiguration)
                        configuration = data[3];
                    if (length > 48 && data[0] == 0x01 && data[1] == 0x00) {
                        uint32_t from = data[2] << 8 | data[3];
                        uint32_t to = data[4] << 8 | data[5];
                        programmed_[from].assign(data + 32, data + 32 + (to - from + 1));
                        ++blocks_;
                    }
                }
                break;
            case 2:  // UPLOAD
                if (reading_) {
                    uint32_t n = 0;
                    for (; n < length && n < uploadLimit && readNext_ <= readLast_; ++n) {
                        const uint16_t address = static_cast<uint16_t>(readNext_++);
                        data[n] = flashAt(address);
                    }
                    r.transferred = n;
                } else if (length >= 1) {
                    data[0] = configuration;
                    r.transferred = 1;
                }
                break;
            case 3: {  // GETSTATUS
                DfuAnswer s{0, 0, 2};
                if (afterState && !loopStatuses.empty()) {
                    s = loopStatuses.front();
                    loopStatuses.pop_front();
                    lastWasStateRequest_ = true;
                }
                uint8_t reply[6] = {s.status,
                                    uint8_t(s.pollTimeout),
                                    uint8_t(s.pollTimeout >> 8),
                                    uint8_t(s.pollTimeout >> 16),
                                    s.state,
                                    0};
                std::memcpy(data, reply, length < 6 ? length : 6);
                r.transferred = length < 6 ? length : 6;
                break;
            }
            case 4:  // CLRSTATUS
                break;
            case 5: {  // GETSTATE
                uint8_t s = blocks_ == 0 ? 2 : 5;
                if (!states.empty()) {
                    s = states.front();
                    states.pop_front();
                }
                if (length >= 1) {
                    data[0] = s;
                    r.transferred = 1;
                }
                lastWasStateRequest_ = true;
                break;
            }
        }
    }
    if (start)
        switchTo(false);
    return 0;
}

uint8_t FakeDevice::flashAt(uint16_t address) const {
    auto changed = flashChanges.find(address);
    if (changed != flashChanges.end())
        return changed->second;
    auto block = programmed_.upper_bound(address);
    if (block == programmed_.begin())
        return 0xFF;
    --block;
    const uint32_t offset = address - block->first;
    return offset < block->second.size() ? block->second[offset] : 0xFF;
}

std::vector<uint8_t> FakeDevice::downloaded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return downloaded_;
}
std::map<uint32_t, std::vector<uint8_t>> FakeDevice::programmed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return programmed_;
}
uint8_t FakeDevice::memoryAt(uint16_t address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = memory.find(address);
    return it == memory.end() ? 0 : it->second;
}
bool FakeDevice::inBootloader() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bootloader_;
}

std::vector<clock::TimePoint> FakeDevice::requestTimes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return times_;
}

std::string describe(const FakeTransfer& t) {
    char line[96];
    if (t.pipe == 0x04)
        return "dnload " + std::to_string(t.size);
    if (t.pipe != 0)
        return "bulk" + hexBytes(t.data, t.data.size());
    const uint8_t type = t.setup[0], request = t.setup[1];
    const unsigned a = t.setup[3], b = t.setup[2], c = t.setup[5], d = t.setup[4];
    const unsigned index = t.setup[4] | t.setup[5] << 8;
    const unsigned length = t.setup[6] | t.setup[7] << 8;
    if (type == 0x80 && request == 6)
        return "get-descriptor";
    if (type == 0x20 && request == 1) {
        std::snprintf(line, sizeof line, "cmd %u,%u,%u,%u", a, b, c, d);
        return line;
    }
    if (type == 0xA0 && request == 3) {
        std::snprintf(line, sizeof line, "read %u,%u @0x%04X %u", a, b, index, length);
        return line;
    }
    if (type == 0x20 && request == 2) {
        std::snprintf(line, sizeof line, "write %u,%u @0x%04X", a, b, index);
        return line + hexBytes(t.data, t.data.size());
    }
    if (type == 0x21 && request == 1)
        return "dfu-dnload " + std::to_string(length) + hexBytes(t.data, 6);
    if (type == 0xA1 && request == 2)
        return "dfu-upload " + std::to_string(length);
    if (type == 0xA1 && request == 3)
        return "dfu-getstatus";
    if (type == 0x21 && request == 4)
        return "dfu-clrstatus";
    if (type == 0xA1 && request == 5)
        return "dfu-getstate";
    std::snprintf(line, sizeof line, "control %02x %02x", type, request);
    return line;
}

std::vector<std::string> trace(const FakeBus& bus) {
    std::vector<std::string> out;
    for (const FakeTransfer& t : bus.transfers()) out.push_back(describe(t));
    return out;
}

void RecordingNotifier::progress(float fraction) {
    char line[48];
    std::snprintf(line, sizeof line, "progress %.9g", static_cast<double>(fraction));
    log_->push_back(line);
}

std::string progressLine(int k, int n) {
    char line[48];
    std::snprintf(line, sizeof line, "progress %.9g",
                  static_cast<double>(static_cast<float>(k) / static_cast<float>(n)));
    return line;
}

std::vector<std::string> progressRun(int first, int last, int n) {
    std::vector<std::string> out;
    for (int k = first; k <= last; ++k) out.push_back(progressLine(k, n));
    return out;
}

}  // namespace test
}  // namespace bvu
