// A session over the fake kernel driver with a device that answers control IN requests from a
// script (keyed by bmRequestType, bRequest and wValue) and takes every OUT transfer whole.
#pragma once

#include <functional>
#include <map>
#include <tuple>
#include <vector>

#include "tests/support/session_fixture.h"

namespace bvu {
namespace test {

using Bytes = std::vector<uint8_t>;

class FakeSessionTest : public FakeBusTest {
  protected:
    double timeScale() const override { return 0.05; }  // the 10 s attach wait: half a second

    void SetUp() override {
        FakeBusTest::SetUp();
        bus->onTransfer([this](kd::TransferRequest& r) { return answer(r); });
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
