#include "platform/clock.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace bvu {
namespace clock {
namespace {

std::once_flag g_once;
std::atomic<double> g_scale{1.0};

void readEnvironment() {
    const char* text = std::getenv("BVU_TIME_SCALE");
    if (text == nullptr)
        return;
    double scale = 1.0;
    std::string why;
    if (parseTimeScale(text, &scale, &why)) {
        g_scale.store(scale);
    } else {
        std::fprintf(stderr, "BVU_TIME_SCALE='%s' refused: %s; using 1.\n", text, why.c_str());
        std::fflush(stderr);
    }
}

}  // namespace

bool parseTimeScale(const std::string& text, double* scale, std::string* why) {
    if (text.empty()) {
        *why = "the value is empty";
        return false;
    }
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0') {
        *why = "not a decimal number";
        return false;
    }
    if (!std::isfinite(v) || !(v > 0.0)) {
        *why = "the scale must be a positive number";
        return false;
    }
    *scale = v;
    return true;
}

double timeScale() {
    std::call_once(g_once, readEnvironment);
    return g_scale.load();
}

void setTimeScaleForTests(double scale) {
    std::call_once(g_once, [] {});
    g_scale.store(scale);
}

uint32_t scaledMs(uint32_t nominalMs) {
    if (nominalMs == INFINITE || nominalMs == 0)
        return nominalMs;
    double real = std::ceil(static_cast<double>(nominalMs) * timeScale());
    if (real < 1.0)
        real = 1.0;
    if (real >= static_cast<double>(INFINITE))
        return INFINITE - 1;
    return static_cast<uint32_t>(real);
}

void sleepMs(uint32_t nominalMs) {
    Sleep(scaledMs(nominalMs));
}

DWORD waitMs(HANDLE handle, uint32_t nominalMs) {
    return WaitForSingleObject(handle, scaledMs(nominalMs));
}

TimePoint now() {
    return std::chrono::steady_clock::now();
}

std::chrono::steady_clock::duration scaled(std::chrono::milliseconds nominal) {
    auto real = std::chrono::duration<double, std::milli>(nominal.count() * timeScale());
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(real);
}

double nominalMsBetween(TimePoint from, TimePoint to) {
    std::chrono::duration<double, std::milli> real = to - from;
    return real.count() / timeScale();
}

}  // namespace clock
}  // namespace bvu
