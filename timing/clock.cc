#include "timing/clock.h"

#include <thread>

namespace timing {
namespace {

class SystemClock : public Clock {
 public:
  WallTime now() override { return std::chrono::system_clock::now(); }
  void sleepFor(Seconds duration) override { std::this_thread::sleep_for(duration); }
};

}  // namespace

Clock& systemClock() {
  static SystemClock* clock = new SystemClock;  // never destroyed: worker threads may outlive main
  return *clock;
}

}  // namespace timing
