// The decode gate's memory budget, with a budget chosen by the test: huge
// photos asked for at once are not all let in. The turns of the one-worker
// scan: claims stay within the window, finished records go out in order.
#include "albumsweep/scan_pipeline.h"

#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

namespace albumsweep {
namespace {

using namespace std::chrono_literals;

// True when the acquire behind `entered` has not returned within a short
// wait. A gate that is right never lets it in while the test holds the
// budget, so this cannot fail by chance; a gate that is wrong lets it in
// at once.
bool stillWaiting(std::future<void>& entered) { return entered.wait_for(50ms) == std::future_status::timeout; }

photolibrary::Asset panorama() {
  photolibrary::Asset a;
  a.pixelWidth = 20000;  // 100 megapixels
  a.pixelHeight = 5000;
  return a;
}

TEST(DecodeGate, HugePhotosAtOnceStayWithinTheMemoryBudget) {
  const std::uint64_t cost = DecodeGate::costOf(panorama(), 40 << 20);
  ASSERT_GE(cost, 600ull << 20);  // the pixels count, not just the file
  DecodeGate gate(8, cost * 2 + cost / 2);  // slots for eight, memory for two
  gate.acquire(cost);
  gate.acquire(cost);
  std::future<void> third = std::async(std::launch::async, [&] { gate.acquire(cost); });
  EXPECT_TRUE(stillWaiting(third)) << "a third panorama was let in beyond the budget";
  gate.release(cost);
  third.get();  // room again: let in
  std::future<void> fourth = std::async(std::launch::async, [&] { gate.acquire(cost); });
  EXPECT_TRUE(stillWaiting(fourth));
  gate.release(cost);
  gate.release(cost);
  fourth.get();
  gate.release(cost);
}

// One photo larger than the whole budget is let in when nothing else runs
// (it could never run otherwise), and nothing joins it.
TEST(DecodeGate, APhotoLargerThanTheBudgetRunsAlone) {
  const std::uint64_t huge = DecodeGate::costOf(panorama(), 0);
  DecodeGate gate(4, huge / 4);
  gate.acquire(huge);
  std::future<void> small = std::async(std::launch::async, [&] { gate.acquire(1); });
  EXPECT_TRUE(stillWaiting(small));
  gate.release(huge);
  small.get();
  gate.release(1);
}

// Positions finished out of order wait for the one before them; the first
// record's writer writes them all, in order; no position is claimed more
// than the window ahead of the first record not written.
TEST(ScanTurns, FinishedOutOfOrderGoOutInOrderWithinTheWindow) {
  ScanTurns turns(10, 3);
  for (std::int64_t i = 0; i < 3; ++i) {
    EXPECT_EQ(turns.claim(), i);
    turns.requestDone();
  }
  std::future<std::optional<std::int64_t>> fourth = std::async(std::launch::async, [&] { return turns.claim(); });
  EXPECT_EQ(fourth.wait_for(50ms), std::future_status::timeout) << "claimed beyond the window";
  EXPECT_FALSE(turns.finished(2));  // 0 and 1 not out
  EXPECT_FALSE(turns.finished(1));
  EXPECT_EQ(fourth.wait_for(50ms), std::future_status::timeout);
  ASSERT_TRUE(turns.finished(0));  // the caller writes 0, then the ready ones after it
  EXPECT_EQ(turns.written(0), std::optional<std::int64_t>(1));
  EXPECT_EQ(turns.written(1), std::optional<std::int64_t>(2));
  EXPECT_EQ(turns.written(2), std::nullopt);
  EXPECT_EQ(fourth.get(), std::optional<std::int64_t>(3));
  turns.requestDone();
  EXPECT_TRUE(turns.finished(3));  // nothing before it waits: written at once
  turns.abandon();
  EXPECT_EQ(turns.written(3), std::nullopt);
  EXPECT_FALSE(turns.finished(4));  // nothing is written once abandoned
  EXPECT_EQ(turns.claim(), std::nullopt);
}

}  // namespace
}  // namespace albumsweep
