// runForked: work that stops answering is abandoned on time, with what it
// reported and where it stopped, and holds nothing of the parent open.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "photodupes/child_process.h"

namespace photodupes {
namespace {

using namespace std::chrono_literals;

TEST(RunForked, WorkThatStopsAnsweringIsAbandonedWithWhatItReported) {
  // A descriptor of the parent's (as the catalog's lock is) must not be
  // open in the child: one left blocked in the kernel would hold it.
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(null, 0);
  const int held = fcntl(null, F_DUPFD_CLOEXEC, 50);  // not a number the child reuses
  close(null);
  ASSERT_GE(held, 50);
  const auto started = std::chrono::steady_clock::now();
  ForkedResult r = runForked(
      [held](ForkedSteps& steps) {
        steps.step("first");
        steps.record(fcntl(held, F_GETFD) == -1 ? "closed" : "open");
        steps.step("second");
        steps.record("two");
        steps.step("blocks here");
        for (;;) pause();
      },
      {200ms, 0ms});
  close(held);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_TRUE(r.silent);
  EXPECT_FALSE(r.finished);
  EXPECT_EQ(r.records, (std::vector<std::string>{"closed", "two"}));
  EXPECT_EQ(r.stuckAt, "blocks here");

  // Work that answers all the while is cut at its total time; work that
  // ends is finished, with every record.
  ForkedResult slow = runForked(
      [](ForkedSteps& steps) {
        for (int k = 0;; ++k) {
          steps.step(std::to_string(k));
          std::this_thread::sleep_for(20ms);
        }
      },
      {2s, 300ms});
  EXPECT_TRUE(slow.overTime);
  EXPECT_FALSE(slow.silent);
  ForkedResult done = runForked([](ForkedSteps& steps) { steps.record("a"), steps.record("b"); }, {2s, 0ms});
  EXPECT_TRUE(done.finished);
  EXPECT_EQ(done.records, (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace photodupes
