#include "usb/location.h"

#include <cctype>

namespace bvu {
namespace usb {
namespace {

char folded(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::string busPortsLocation(uint8_t bus, const uint8_t* ports, int count) {
    std::string text = std::to_string(bus);
    for (int i = 0; i < count; ++i) text += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
    return text;
}

bool sameLocation(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (folded(a[i]) != folded(b[i]))
            return false;
    }
    return true;
}

bool locationBefore(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            // Leading zeros do not count; then the longer run is the larger number.
            while (i < a.size() && a[i] == '0') ++i;
            while (j < b.size() && b[j] == '0') ++j;
            size_t ei = i, ej = j;
            while (ei < a.size() && digit(a[ei])) ++ei;
            while (ej < b.size() && digit(b[ej])) ++ej;
            if (ei - i != ej - j)
                return ei - i < ej - j;
            for (; i < ei; ++i, ++j) {
                if (a[i] != b[j])
                    return a[i] < b[j];
            }
            continue;
        }
        if (folded(a[i]) != folded(b[j]))
            return folded(a[i]) < folded(b[j]);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

}  // namespace usb
}  // namespace bvu
