// Wall-clock time and sleeping, behind an interface so that tests of
// deadlines, stalls and heartbeats run in milliseconds.
#pragma once

#include <chrono>
#include <mutex>

namespace timing {

using WallTime = std::chrono::system_clock::time_point;
using Seconds = std::chrono::duration<double>;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual WallTime now() = 0;
  virtual void sleepFor(Seconds duration) = 0;
};

// The system's wall clock.
Clock& systemClock();

// A clock that moves only when told to. sleepFor() advances the time by the
// duration asked for and returns at once, so a poll loop runs through
// simulated minutes instantly. Thread-safe.
class FakeClock : public Clock {
 public:
  explicit FakeClock(WallTime start = WallTime{} + std::chrono::hours(24 * 365 * 50)) : now_(start) {}
  WallTime now() override {
    std::lock_guard<std::mutex> g(mu_);
    return now_;
  }
  void sleepFor(Seconds duration) override { advance(duration); }
  void advance(Seconds duration) {
    std::lock_guard<std::mutex> g(mu_);
    now_ += std::chrono::duration_cast<std::chrono::system_clock::duration>(duration);
  }

 private:
  std::mutex mu_;
  WallTime now_;
};

}  // namespace timing
