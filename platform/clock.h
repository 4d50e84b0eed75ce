// Time and sleeping. The device link reads the time
// only through here, so tests can run its 30 s and 60 s time-outs on a
// virtual clock in no real time.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

class Clock {
  public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start.
    virtual std::int64_t nowMs() = 0;
    virtual void sleepMs(std::int64_t ms) = 0;
    // Seconds since the epoch (what `time` gives).
    virtual std::int64_t epochSeconds() = 0;
};

// The clock in force: the system clock unless a test installed another.
Clock& clock();
// Installs `replacement` (nullptr: the system clock again).
void setClock(Clock* replacement);

// `bytes` bytes from the system's random source as lowercase hexadecimal: an
// identifier that no other run on any machine makes.
std::string randomHex(int bytes);

inline std::int64_t timeSeconds() { return clock().epochSeconds(); }
inline std::int64_t clockMs() { return clock().nowMs(); }
inline void sleepMs(std::int64_t ms) { clock().sleepMs(ms); }

// The system clock run `factor` times fast: a time-out of 30 s passes in
// 30/factor real seconds. An emulator and its client run at one factor so
// that fault tests wait out the long time-outs in a fraction of the time.
class ScaledClock : public Clock {
  public:
    explicit ScaledClock(int factor);
    std::int64_t nowMs() override;
    void sleepMs(std::int64_t ms) override;
    std::int64_t epochSeconds() override;

  private:
    int factor_;
    std::int64_t startUs_;
    std::int64_t startEpoch_;
};

// A clock that moves only when told to, or when someone sleeps on it.
class VirtualClock : public Clock {
  public:
    explicit VirtualClock(std::int64_t epochStart = 1'800'000'000) : epochStart_(epochStart) {}
    std::int64_t nowMs() override { return now_; }
    void sleepMs(std::int64_t ms) override { advance(ms); }
    std::int64_t epochSeconds() override { return epochStart_ + now_ / 1000; }
    void advance(std::int64_t ms) {
        if (ms > 0) now_ += ms;
    }

  private:
    std::int64_t epochStart_;
    std::int64_t now_ = 0;
};

} // namespace platform
