#include "platform/clock.h"

#include <random>

#include <atomic>

#include <chrono>
#include <ctime>
#include <thread>

namespace platform {

namespace {

class SystemClock : public Clock {
  public:
    std::int64_t nowMs() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    void sleepMs(std::int64_t ms) override {
        if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    std::int64_t epochSeconds() override { return static_cast<std::int64_t>(std::time(nullptr)); }
};

SystemClock systemClock;
Clock* current = &systemClock;
// Atomic: sessions on several adapters draw filler from their own threads.

} // namespace

Clock& clock() { return *current; }

std::string randomHex(int bytes) {
    std::random_device source;
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < bytes; ++i) {
        const unsigned byte = source() & 0xFF;
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

void setClock(Clock* replacement) { current = replacement ? replacement : &systemClock; }

namespace {
std::int64_t steadyMicroseconds() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}
} // namespace

ScaledClock::ScaledClock(int factor)
    : factor_(factor < 1 ? 1 : factor), startUs_(steadyMicroseconds()),
      startEpoch_(static_cast<std::int64_t>(std::time(nullptr))) {}

std::int64_t ScaledClock::nowMs() { return (steadyMicroseconds() - startUs_) * factor_ / 1000; }

void ScaledClock::sleepMs(std::int64_t ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::microseconds(ms * 1000 / factor_));
}

std::int64_t ScaledClock::epochSeconds() { return startEpoch_ + nowMs() / 1000; }

} // namespace platform
