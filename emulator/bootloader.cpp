// The bootloader's DFU machine and command blocks.
//
// A command block (DNLOAD with data) is checked and carried out at once, and the bootloader
// then stays in dfuDNLOAD-SYNC until the command's time has passed and a GETSTATUS has
// reported its end (dfuIDLE, dfuDNLOAD-IDLE after a program block, or dfuERROR). Until then:
//  - GETSTATUS is held back (the transfer completes only when the command has finished), or,
//    in the busy variant, answers dfuDNBUSY with the time still to run as bwPollTimeout; once
//    that has run out, the bootloader moves on to the command's end state by itself;
//  - GETSTATE answers at once (dfuDNLOAD-SYNC, or dfuDNBUSY once reported);
//  - any other request is held back until the command has finished (the bootloader serves
//    one request at a time), or, in the busy variant, stalls into dfuERROR (errSTALLEDPKT),
//    except ABORT and CLRSTATUS, which cancel the command there.
// Leniency that third-party tools rely on: in dfuDNLOAD-SYNC (end not yet reported) the next
// command block, an UPLOAD or the zero-length DNLOAD are taken as if GETSTATUS had been sent,
// unless the command failed, in which case the bootloader enters dfuERROR and stalls them.
#include "emulator/bootloader.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace bvu {
namespace emulator {
namespace {

using namespace dfu;

constexpr uint8_t kDetach = 0, kDnload = 1, kUpload = 2, kGetStatus = 3, kClrStatus = 4,
                  kGetState = 5, kAbort = 6;
constexpr uint8_t kTypeOut = 0x21, kTypeIn = 0xA1;
constexpr uint32_t kQuickCommandMs = 2;  // select, read, start
constexpr uint32_t kConfigWriteMs = 15;  // one configuration byte (EEPROM-like cell)
constexpr uint32_t kPageProgramMs = 4;   // one 128-byte flash page
constexpr uint32_t kPageSize = 128;
constexpr uint32_t kMaxProgramBytes = 3072;
constexpr uint32_t kMaxUploadPiece = 1024;
constexpr uint32_t kStuckBusyPollMs = 100;
constexpr uint16_t kFlashLast = static_cast<uint16_t>(kControlFlashSize - 1);

clock::TimePoint after(clock::TimePoint now, uint32_t nominalMs) {
    return now + clock::scaled(std::chrono::milliseconds(nominalMs));
}

bool runningAt(const DfuMachine& m, clock::TimePoint now) {
    return m.running && now < m.doneAt;
}

// A command whose time has passed is over. In dfuDNBUSY (the host was told to wait) the
// bootloader moves on to the command's end state by itself; in dfuDNLOAD-SYNC the end is
// reported by the next GETSTATUS.
void settle(DfuMachine& m, clock::TimePoint now) {
    if (!m.running || now < m.doneAt)
        return;
    m.running = false;
    if (m.state == kDnBusy) {
        m.state = m.resultState;
        m.status = m.resultStatus;
    }
}

// An end not yet reported by GETSTATUS: the bootloader finished in dfuDNLOAD-SYNC.
bool endPending(const DfuMachine& m) {
    return m.state == kDnloadSync && !m.running;
}

Reply fail(DfuMachine& m, uint8_t status) {
    m.state = kError;
    m.status = status;
    m.running = false;
    m.start = StartKind::None;
    return Reply::Stall;
}

void statusReply(Request& r, uint8_t status, uint32_t pollMs, uint8_t state) {
    pollMs = std::min<uint32_t>(pollMs, 0xFFFFFF);
    r.reply = {status,
               static_cast<uint8_t>(pollMs),
               static_cast<uint8_t>(pollMs >> 8),
               static_cast<uint8_t>(pollMs >> 16),
               state,
               0};
}

uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

bool isConfigByte(uint16_t key) {
    return factoryConfig().count(key) != 0;
}

struct Result {
    uint8_t status = kOk;
    uint8_t okState = kIdle;
    uint32_t ms = kQuickCommandMs;
};

Result failed(uint8_t status) {
    Result r;
    r.status = status;
    return r;
}

// Checks and carries out one command block.
Result execute(DeviceState& d, const uint8_t* b, uint32_t n) {
    DfuMachine& m = d.dfu;
    m.upload = UploadKind::None;
    m.start = StartKind::None;
    const uint8_t security = configByte(d, kConfigSecurity);
    Result res;
    switch (b[0]) {
        case 0x01: {  // program: 01 00 start end, zeros to byte 31, data, 16-byte suffix
            if (n < 6 || b[1] != 0x00)
                return failed(kErrStalledPkt);
            const uint16_t start = be16(b + 2), end = be16(b + 4);
            if (end < start || end > kFlashLast)
                return failed(kErrAddress);
            const uint32_t count = end - start + 1u;
            if (count > kMaxProgramBytes || n != count + 48)
                return failed(kErrFile);
            if ((security & 0x03) != 0x03)  // programming refused
                return failed(kErrWrite);
            // Flash cells can only be programmed from 1 to 0: writing over data that was not
            // erased leaves the AND of both.
            for (uint32_t i = 0; i < count; ++i) d.controlFlash[start + i] &= b[32 + i];
            res.okState = kDnloadIdle;
            res.ms = kPageProgramMs * ((count + kPageSize - 1) / kPageSize);
            return res;
        }
        case 0x03: {  // 03 00 start end: read; 03 01 start end: blank check
            if (n < 6 || b[1] > 0x01)
                return failed(kErrStalledPkt);
            const uint16_t start = be16(b + 2), end = be16(b + 4);
            if (end < start || end > kFlashLast)
                return failed(kErrAddress);
            if (b[1] == 0x00) {
                if ((security & 0x03) == 0x00)
                    return failed(kErrWrite);  // reading refused
                m.upload = UploadKind::Flash;
                m.uploadNext = start;
                m.uploadLast = end;
                m.uploadExhausted = false;
                return res;
            }
            for (uint32_t a = start; a <= end; ++a) {
                if (d.controlFlash[a] != 0xFF) {
                    m.upload = UploadKind::BlankAddress;
                    m.uploadNext = static_cast<uint16_t>(a);
                    return failed(kErrCheckErased);
                }
            }
            return res;
        }
        case 0x04: {
            if (n < 3)
                return failed(kErrStalledPkt);
            if (b[1] == 0x00) {  // 04 00 FF: chip erase
                if (b[2] != 0xFF)
                    return failed(kErrStalledPkt);
                std::fill(d.controlFlash.begin(), d.controlFlash.end(), 0xFF);
                d.config[kConfigSecurity] = 0xFF;  // 02/00 stays as it is (device_state.h)
                res.ms = d.timing.eraseMs;
                return res;
            }
            if (b[1] == 0x01 || b[1] == 0x02) {  // write a configuration byte
                if (n < 4)
                    return failed(kErrStalledPkt);
                const uint16_t key = static_cast<uint16_t>(b[1] << 8 | b[2]);
                const bool writable = key == 0x0100 || key == 0x0101 || key == kConfigSecurity ||
                                      key == 0x0106 || key == kConfigStartup;
                if (!writable)
                    return failed(kErrAddress);
                // Protection can only be tightened; only a chip erase lifts it.
                d.config[key] = key == kConfigSecurity ? (configByte(d, key) & b[3]) : b[3];
                res.ms = kConfigWriteMs;
                return res;
            }
            if (b[1] == 0x03) {  // 04 03 00 reset; 04 03 01 hi lo start the application
                if (b[2] == 0x00) {
                    m.start = StartKind::Reset;
                } else if (b[2] == 0x01 && n >= 5) {
                    m.start = StartKind::Application;
                } else {
                    return failed(kErrStalledPkt);
                }
                return res;
            }
            return failed(kErrStalledPkt);
        }
        case 0x05: {  // 05 gg bb: select a configuration byte for the next UPLOAD
            if (n < 3)
                return failed(kErrStalledPkt);
            const uint16_t key = static_cast<uint16_t>(b[1] << 8 | b[2]);
            if (!isConfigByte(key))
                return failed(kErrAddress);
            m.upload = UploadKind::Config;
            m.uploadNext = key;
            return res;
        }
        default:
            return failed(kErrStalledPkt);
    }
}

// Where a start command leads: the application if the flash holds one (else the device
// vanishes), or, for a reset, wherever the start-up bit says.
Guise startTarget(const DeviceState& d) {
    if (d.dfu.start == StartKind::Reset && !startupSaysApplication(d))
        return Guise::Bootloader;
    return applicationGuise(d);
}

Reply dnload(DeviceState& d, Request& r, Outcome& o) {
    DfuMachine& m = d.dfu;
    if (m.state == kError)
        return Reply::Stall;
    if (endPending(m) && m.resultState == kError)
        return fail(m, m.resultStatus);
    if (r.outLength == 0) {  // end of the transfer: carry out a pending start, or manifest
        if (m.start != StartKind::None) {
            o.leave = true;
            o.arriveAs = startTarget(d);
            o.arriveAfterMs = d.timing.reenumerationMs;
            return Reply::Ack;
        }
        if (m.state == kDnloadIdle || m.state == kDnloadSync) {
            m.state = kManifestSync;
            return Reply::Ack;
        }
        return fail(m, kErrStalledPkt);
    }
    const bool takes = m.state == kIdle || m.state == kDnloadIdle || m.state == kDnloadSync ||
                       m.state == kUploadIdle;
    if (!takes)
        return fail(m, kErrStalledPkt);
    Result res = execute(d, r.out, r.outLength);
    m.running = true;
    m.doneAt = after(r.now, res.ms);
    m.resultState = res.status == kOk ? res.okState : kError;
    m.resultStatus = res.status;
    m.state = kDnloadSync;
    return Reply::Ack;
}

Reply upload(DeviceState& d, Request& r) {
    DfuMachine& m = d.dfu;
    if (m.state == kError) {
        // After a failed blank check the first address that is not blank can be read.
        if (m.upload != UploadKind::BlankAddress)
            return Reply::Stall;
        r.reply = {static_cast<uint8_t>(m.uploadNext >> 8), static_cast<uint8_t>(m.uploadNext)};
        return Reply::Ack;
    }
    if (endPending(m)) {
        if (m.resultState == kError)
            return fail(m, m.resultStatus);
        m.state = m.resultState;
        m.status = m.resultStatus;
    }
    if (m.state != kIdle && m.state != kUploadIdle)
        return fail(m, kErrStalledPkt);
    if (r.length() == 0)
        return Reply::Ack;
    switch (m.upload) {
        case UploadKind::Flash: {
            const uint32_t left = m.uploadLast - m.uploadNext + 1u;
            const uint32_t n = std::min({static_cast<uint32_t>(r.length()), kMaxUploadPiece, left});
            r.reply.assign(d.controlFlash.begin() + m.uploadNext,
                           d.controlFlash.begin() + m.uploadNext + n);
            if (n == left) {
                m.upload = UploadKind::None;
                m.state = kIdle;
            } else {
                m.uploadNext = static_cast<uint16_t>(m.uploadNext + n);
                m.state = kUploadIdle;
            }
            return Reply::Ack;
        }
        case UploadKind::Config:
            r.reply = {configByte(d, m.uploadNext)};
            m.state = kIdle;
            return Reply::Ack;
        default:
            return fail(m, kErrStalledPkt);
    }
}

Reply getStatus(DeviceState& d, Request& r, Outcome& o) {
    DfuMachine& m = d.dfu;
    if (d.stuckBusy) {
        m.state = kDnBusy;
        statusReply(r, kOk, kStuckBusyPollMs, kDnBusy);
        return Reply::Ack;
    }
    if (runningAt(m, r.now)) {
        if (!d.variant.busyStatus) {
            o.busy = true;
            o.retryAt = m.doneAt;
            return Reply::Ack;
        }
        m.state = kDnBusy;
        const double left = clock::nominalMsBetween(r.now, m.doneAt);
        statusReply(r, kOk, static_cast<uint32_t>(std::max(1.0, std::ceil(left))), kDnBusy);
        return Reply::Ack;
    }
    settle(m, r.now);
    if (endPending(m)) {
        m.state = m.resultState;
        m.status = m.resultStatus;
    } else if (m.state == kManifestSync) {
        m.state = kIdle;  // manifestation tolerant: nothing to do after the last block
    }
    statusReply(r, m.status, 0, m.state);
    return Reply::Ack;
}

void clear(DfuMachine& m, bool abort) {
    m.state = kIdle;
    m.status = kOk;
    m.running = false;
    m.start = StartKind::None;
    if (abort || m.upload != UploadKind::BlankAddress)
        m.upload = UploadKind::None;
}

}  // namespace

Reply handleDfuControl(DeviceState& d, Request& r, Outcome& o) {
    DfuMachine& m = d.dfu;
    const bool out = r.type() == kTypeOut;
    const bool in = r.type() == kTypeIn;
    if (!out && !in)
        return Reply::Stall;  // neither a DFU request nor a standard one
    const uint8_t req = r.request();

    if (in && req == kGetState) {
        settle(m, r.now);
        r.reply = {d.stuckBusy ? kDnBusy : m.state};
        return Reply::Ack;
    }
    if (in && req == kGetStatus)
        return getStatus(d, r, o);

    const bool known =
        (out && (req == kDnload || req == kClrStatus || req == kAbort)) || (in && req == kUpload);
    if (!known) {
        (void)kDetach;  // DETACH means nothing once in DFU mode
        return fail(m, kErrStalledPkt);
    }
    if (d.stuckBusy && (req == kDnload || req == kUpload))
        return Reply::Stall;
    if (runningAt(m, r.now)) {
        if (!d.variant.busyStatus) {  // busy: the request waits until the command is done
            o.busy = true;
            o.retryAt = m.doneAt;
            return Reply::Ack;
        }
        if (req == kDnload || req == kUpload)
            return fail(m, kErrStalledPkt);
    }
    settle(m, r.now);
    switch (req) {
        case kDnload:
            return dnload(d, r, o);
        case kUpload:
            return upload(d, r);
        case kClrStatus:
            clear(m, false);
            return Reply::Ack;
        default:  // kAbort
            clear(m, true);
            return Reply::Ack;
    }
}

Reply strikeDfuError(DeviceState& d, Request& r, uint8_t status) {
    DfuMachine& m = d.dfu;
    if (r.type() == kTypeOut && r.request() == kDnload && r.outLength > 0 && m.state != kError) {
        // The block is taken, but writing it goes wrong: GETSTATUS will tell.
        m.upload = UploadKind::None;
        m.start = StartKind::None;
        m.running = true;
        m.doneAt = after(r.now, kQuickCommandMs);
        m.resultState = kError;
        m.resultStatus = status;
        m.state = kDnloadSync;
        return Reply::Ack;
    }
    if (r.type() == kTypeIn && r.request() == kGetStatus) {
        fail(m, status);
        statusReply(r, status, 0, kError);
        return Reply::Ack;
    }
    if (r.type() == kTypeIn && r.request() == kGetState) {
        fail(m, status);
        r.reply = {kError};
        return Reply::Ack;
    }
    return fail(m, status);
}

}  // namespace emulator
}  // namespace bvu
