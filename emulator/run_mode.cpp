#include "emulator/run_mode.h"

#include <algorithm>
#include <chrono>

namespace bvu {
namespace emulator {
namespace {

constexpr uint8_t kCmd = 1, kWrite = 2, kRead = 3;
constexpr uint8_t kTypeOut = 0x20, kTypeIn = 0xA0;

clock::TimePoint after(clock::TimePoint now, uint32_t nominalMs) {
    return now + clock::scaled(std::chrono::milliseconds(nominalMs));
}

void leave(Outcome& o, Guise as, uint32_t afterMs) {
    o.leave = true;
    o.arriveAs = as;
    o.arriveAfterMs = afterMs;
}

void infoText(const std::string& text, Request& r) {
    r.reply.assign(text.begin(), text.end());
    r.reply.push_back(0);
}

Reply command(DeviceState& d, uint8_t a, uint8_t b, clock::TimePoint now, Outcome& o) {
    VideoStage& stage = d.video;
    switch (a << 8 | b) {
        case 0x0501:  // prepare the video download, first step (also starts a new attempt)
            if (stage == VideoStage::Reprogramming)
                return Reply::Stall;
            d.collected.clear();
            stage = VideoStage::Prepared;
            return Reply::Ack;
        case 0x0507:  // second step: the FPGA's flash is made ready, which takes a while
            if (stage != VideoStage::Prepared)
                return Reply::Stall;
            stage = VideoStage::Preparing;
            d.videoDeadline = after(now, d.timing.preparationMs);
            return Reply::Ack;
        case 0x0505:  // open the download
            if (stage != VideoStage::Preparing || readyByte(d, now) == 0)
                return Reply::Stall;
            d.collected.clear();
            stage = VideoStage::Open;
            return Reply::Ack;
        case 0x0506:  // close it
            if (stage != VideoStage::Open)
                return Reply::Stall;
            stage = VideoStage::Collected;
            return Reply::Ack;
        case 0x0201:
            if (stage != VideoStage::Collected)
                return Reply::Stall;
            stage = VideoStage::Armed;
            return Reply::Ack;
        case 0x0202:  // re-program the video flash from the collected image
            if (stage != VideoStage::Armed)
                return Reply::Stall;
            stage = VideoStage::Reprogramming;
            d.videoDeadline = after(now, d.timing.reprogrammingMs);
            return Reply::Ack;
        case 0x0203:  // end of re-programming: whatever has been written by now is what stays
            if (stage != VideoStage::Reprogramming)
                return Reply::Stall;
            finishReprogramming(d, now);
            return Reply::Ack;
        case 0x0E00:  // program the default values
            applyDefaultSettings(d.memory);
            return Reply::Ack;
        case 0x0609:  // restart: a software restart of the application, back in run mode
            leave(o, Guise::Run, d.timing.restartMs);
            return Reply::Ack;
        case 0x0604:  // into the bootloader; the first release knows only the bulk message
            if (d.release < 2)
                return Reply::Ack;
            leave(o, Guise::Bootloader, d.timing.reenumerationMs);
            return Reply::Ack;
        default:
            return Reply::Stall;
    }
}

Reply write(DeviceState& d, Request& r) {
    const uint16_t area = r.value();
    const uint32_t n = r.outLength;
    if (area == 0x0501) {
        if (r.index() + n > kMemorySize)
            return Reply::Stall;
        std::copy(r.out, r.out + n, d.memory.begin() + r.index());
        return Reply::Ack;
    }
    if (area == 0x0203) {  // the package firmware version, kept in memory at 0x33
        if (n > 5)
            return Reply::Stall;
        std::copy(r.out, r.out + n, d.memory.begin() + kPackageVersion);
        return Reply::Ack;
    }
    return Reply::Stall;
}

Reply read(DeviceState& d, Request& r) {
    const uint16_t area = r.value();
    if ((area >> 8) == 0x02) {
        switch (area & 0xFF) {
            case 4:
                infoText(controlVersionOf(d), r);
                return Reply::Ack;
            case 7:
                infoText(d.pcbRevision, r);
                return Reply::Ack;
            case 13:
                infoText(d.serialText, r);
                return Reply::Ack;
            default:
                return Reply::Stall;
        }
    }
    if (area == 0x0501) {
        if (r.index() + r.length() > kMemorySize)
            return Reply::Stall;
        r.reply.assign(d.memory.begin() + r.index(), d.memory.begin() + r.index() + r.length());
        return Reply::Ack;
    }
    if (area == 0x0104) {  // FPGA registers; 0x0F00 is the version register
        if (r.index() != 0x0F00)
            return Reply::Stall;
        r.reply.assign(1, videoVersionByte(d));
        return Reply::Ack;
    }
    if (area == 0x0303) {
        r.reply.assign(1, readyByte(d, r.now));
        return Reply::Ack;
    }
    return Reply::Stall;
}

}  // namespace

uint8_t readyByte(const DeviceState& d, clock::TimePoint now) {
    switch (d.video) {
        case VideoStage::Preparing:
            return (!d.neverReady && now >= d.videoDeadline) ? 1 : 0;
        case VideoStage::Open:
        case VideoStage::Collected:
        case VideoStage::Armed:
            return 1;
        default:
            return 0;
    }
}

void finishReprogramming(DeviceState& d, clock::TimePoint now) {
    std::vector<uint8_t> image = std::move(d.collected);
    d.collected.clear();
    if (now < d.videoDeadline) {
        // Cut short: the flash was erased at the start and written from its beginning at an
        // even pace; only that share holds the new image.
        const auto total = clock::scaled(std::chrono::milliseconds(d.timing.reprogrammingMs));
        const auto left = d.videoDeadline - now;
        double done = total.count() > 0 ? 1.0 - static_cast<double>(left.count()) /
                                                    static_cast<double>(total.count())
                                        : 1.0;
        done = std::min(1.0, std::max(0.0, done));
        size_t keep = static_cast<size_t>(done * static_cast<double>(image.size()));
        if (keep >= image.size() && !image.empty())
            keep = image.size() - 1;
        std::fill(image.begin() + static_cast<std::ptrdiff_t>(keep), image.end(), 0xFF);
    }
    d.videoFlash = std::move(image);
    d.video = VideoStage::Idle;
}

Reply handleRunControl(DeviceState& d, Request& r, Outcome& o) {
    const uint8_t a = static_cast<uint8_t>(r.value() >> 8);
    const uint8_t b = static_cast<uint8_t>(r.value() & 0xFF);
    if (r.type() == kTypeOut && r.request() == kCmd) {
        return command(d, a, b, r.now, o);
    }
    if (r.type() == kTypeOut && r.request() == kWrite)
        return write(d, r);
    if (r.type() == kTypeIn && r.request() == kRead)
        return read(d, r);
    return Reply::Stall;
}

Reply handleRunBulk(DeviceState& d, uint8_t endpoint, const uint8_t* data, uint32_t length,
                    uint32_t* accepted, Outcome& o, clock::TimePoint) {
    *accepted = 0;
    if (endpoint == 0x04) {
        // Download data is taken only while a download is open; otherwise the endpoint halts.
        if (d.video != VideoStage::Open)
            return Reply::Stall;
        if (d.collected.size() + length > kVideoFlashSize)
            return Reply::Stall;
        d.collected.insert(d.collected.end(), data, data + length);
        *accepted = length;
        return Reply::Ack;
    }
    if (endpoint == 0x02) {
        // 3-byte messages. The first release enters its bootloader on C0 00 00; other
        // messages, and every message to a later release, are taken and ignored.
        *accepted = length;
        if (d.release < 2 && length == 3 && data[0] == 0xC0 && data[1] == 0 && data[2] == 0)
            leave(o, Guise::Bootloader, d.timing.reenumerationMs);
        return Reply::Ack;
    }
    return Reply::Stall;
}

}  // namespace emulator
}  // namespace bvu
