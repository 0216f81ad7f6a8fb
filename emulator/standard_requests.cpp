#include "emulator/standard_requests.h"

#include <string>

namespace bvu {
namespace emulator {
namespace {

constexpr uint8_t kGetStatus = 0, kClearFeature = 1, kSetFeature = 3, kSetAddress = 5,
                  kGetDescriptor = 6, kGetConfiguration = 8, kSetConfiguration = 9,
                  kGetInterface = 10, kSetInterface = 11;
constexpr uint16_t kDfuTransferSize = 3120;  // the largest command block the host sends
constexpr uint8_t kRecipientEndpoint = 2;
constexpr uint16_t kEndpointHalt = 0;  // the feature selector ENDPOINT_HALT

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

std::vector<uint8_t> stringDescriptor(const std::string& text) {
    std::vector<uint8_t> v{static_cast<uint8_t>(2 + 2 * text.size()), 3};
    for (char c : text) put16(v, static_cast<uint8_t>(c));
    return v;
}

}  // namespace

uint16_t productIdOf(Guise guise) {
    return guise == Guise::Bootloader ? kBootloaderProductId : kRunProductId;
}

std::vector<uint8_t> deviceDescriptor(const DeviceState& d, Guise guise) {
    const bool run = guise != Guise::Bootloader;
    std::vector<uint8_t> v{18, 1};
    put16(v, run ? 0x0200 : 0x0110);
    v.insert(v.end(), {0, 0, 0, 64});
    put16(v, kVendorId);
    put16(v, productIdOf(guise));
    put16(v, run ? static_cast<uint16_t>(d.release << 8) : 0x0000);
    v.insert(v.end(), {1, 2, static_cast<uint8_t>(run ? 3 : 0), 1});
    return v;
}

std::vector<uint8_t> configurationDescriptor(const DeviceState& d, Guise guise) {
    const bool run = guise != Guise::Bootloader;
    std::vector<uint8_t> v{9, 2, 0, 0, 1, 1, 0, 0x80, 250};  // bus powered, 500 mA
    const uint8_t iface = d.variant.interfaceNumber;
    if (run) {
        v.insert(v.end(), {9, 4, iface, 0, 2, 0xFF, 0, 0, 0});
        for (uint8_t ep : {uint8_t{0x02}, uint8_t{0x04}}) {
            v.insert(v.end(), {7, 5, ep, 2});
            put16(v, 64);
            v.push_back(0);
        }
    } else {
        v.insert(v.end(), {9, 4, iface, 0, 0, 0xFE, 0x01, 0x02, 0});
        // DFU functional descriptor: can download and upload, manifestation tolerant.
        v.insert(v.end(), {9, 0x21, 0x07});
        put16(v, 0);  // wDetachTimeOut: not used in DFU mode
        put16(v, kDfuTransferSize);
        put16(v, 0x0110);
    }
    v[2] = static_cast<uint8_t>(v.size());
    v[3] = static_cast<uint8_t>(v.size() >> 8);
    return v;
}

Reply setInterfaceRequest(DeviceState& d, uint8_t interfaceNumber, uint8_t alternate) {
    if (d.variant.refuseSetInterface)
        return Reply::Stall;
    if (interfaceNumber != d.variant.interfaceNumber || alternate != 0)
        return Reply::Stall;
    d.halted.clear();
    return Reply::Ack;
}

bool hasBulkEndpoint(Guise guise, uint8_t endpoint) {
    return guise == Guise::Run && (endpoint == 0x02 || endpoint == 0x04);
}

bool handleStandard(DeviceState& d, Guise guise, Request& r, Reply* reply) {
    if ((r.type() & 0x60) != 0)
        return false;
    const uint8_t recipient = r.type() & 0x1F;
    const uint8_t endpoint = static_cast<uint8_t>(r.index() & 0xFF);
    const bool ownEndpoint = recipient == kRecipientEndpoint && hasBulkEndpoint(guise, endpoint);
    *reply = Reply::Ack;
    switch (r.request()) {
        case kGetStatus:
            if (!r.isIn())
                break;
            r.reply = {static_cast<uint8_t>(ownEndpoint && d.halted.count(endpoint) != 0), 0};
            return true;
        case kClearFeature:
        case kSetFeature:
            if (r.isIn())
                break;
            if (ownEndpoint && r.value() == kEndpointHalt) {
                if (r.request() == kSetFeature) {
                    d.halted.insert(endpoint);
                } else {
                    d.halted.erase(endpoint);
                }
            }
            return true;
        case kSetAddress:
            if (r.isIn())
                break;
            return true;
        case kGetDescriptor: {
            if (!r.isIn() || recipient != 0)
                break;
            const uint8_t type = static_cast<uint8_t>(r.value() >> 8);
            const uint8_t index = static_cast<uint8_t>(r.value() & 0xFF);
            if (type == 1) {
                r.reply = deviceDescriptor(d, guise);
            } else if (type == 2 && index == 0) {
                r.reply = configurationDescriptor(d, guise);
            } else if (type == 3 && index == 0) {
                r.reply = {4, 3, 0x09, 0x04};  // English (United States)
            } else if (type == 3 && index == 1) {
                r.reply = stringDescriptor("Brevicor");
            } else if (type == 3 && index == 2) {
                r.reply = stringDescriptor(guise == Guise::Bootloader ? "Brevicor DFU Bootloader"
                                                                      : "Brevicor Video Processor");
            } else if (type == 3 && index == 3 && guise != Guise::Bootloader) {
                r.reply = stringDescriptor(d.serialText);
            } else {
                break;
            }
            return true;
        }
        case kGetConfiguration:
            if (!r.isIn())
                break;
            r.reply = {1};
            return true;
        case kSetConfiguration:
            if (r.isIn() || r.value() > 1)
                break;
            d.halted.clear();
            return true;
        case kGetInterface:
            if (!r.isIn() || r.index() != d.variant.interfaceNumber)
                break;
            r.reply = {0};
            return true;
        case kSetInterface:
            if (r.isIn())
                break;
            *reply = setInterfaceRequest(d, static_cast<uint8_t>(r.index()),
                                         static_cast<uint8_t>(r.value()));
            return true;
        default:
            break;
    }
    *reply = Reply::Stall;
    return true;
}

}  // namespace emulator
}  // namespace bvu
