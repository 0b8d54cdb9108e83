// End to end: the built albumsweep binary on a library whose storage stops
// answering (hangfs, testsupport/hang_mount.h): a read that hangs, a
// library folder whose lookup hangs, a header read that hangs.
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "testsupport/hang_mount.h"
#include "testsupport/images.h"
#include "testsupport/subprocess.h"

namespace {

using Json = nlohmann::json;
using testsupport::Misbehaviour;
using namespace std::chrono_literals;

// `count` small JPEGs "pNN.jpg" below `root`, p00 the newest (file times
// one minute apart, no capture dates).
void writePhotos(const std::string& root, int count) {
  testsupport::Picture picture;
  picture.height = 48;
  for (int k = 0; k < count; ++k) {
    picture.width = 64 + k;  // different bytes
    char name[16];
    std::snprintf(name, sizeof name, "p%02d.jpg", k);
    const std::string path = root + "/" + name;
    ASSERT_TRUE(testsupport::writeImage(path, picture));
    struct timespec times[2] = {{1600000000 - 60 * k, 0}, {1600000000 - 60 * k, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
}

// Runs a scan of `library`. `onLine` sees each output line as it comes.
testsupport::ProcessResult scan(const std::string& library, std::vector<std::string> extra,
                                std::function<void(const Json&)> onLine = {}) {
  std::vector<std::string> argv = {ALBUMSWEEP_BIN, "scan", "--library", library};
  argv.insert(argv.end(), extra.begin(), extra.end());
  testsupport::RunOptions options;
  options.timeout = 150s;
  if (onLine) options.onLine = [&](const std::string& line) { onLine(Json::parse(line, nullptr, false)); };
  return testsupport::runProcess(argv, options);
}

// Lets every blocked call on the mount go after `after` at the latest, so
// that a run that goes wrong still ends: a process with a thread blocked in
// a read of the mount cannot end before the read returns.
class Watchdog {
 public:
  Watchdog(testsupport::HangMount& m, std::chrono::seconds after)
      : thread_([&m, after, this] {
          std::unique_lock<std::mutex> g(mu_);
          cv_.wait_for(g, after, [&] { return done_; });
          m.stopAll();
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> g(mu_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

class HangE2eTest : public ::testing::Test {
 protected:
  // `photos` photos (writePhotos) seen through hangfs; every blocked call
  // on it is let go after 100 s at the latest.
  void mount(int photos) {
    writePhotos(backing_.path(), photos);
    mount_ = std::make_unique<testsupport::HangMount>(backing_.path());
    if (!mount_->available()) GTEST_SKIP() << mount_->why();
    watchdog_ = std::make_unique<Watchdog>(*mount_, 100s);
  }
  testsupport::HangMount& m() { return *mount_; }

 private:
  testsupport::TempDir backing_;
  std::unique_ptr<testsupport::HangMount> mount_;
  std::unique_ptr<Watchdog> watchdog_;  // ends before the mount
};

// Mounts, or skips the test where FUSE is not available.
#define MOUNT_OR_SKIP(photos) \
  mount(photos);              \
  if (IsSkipped()) return

// One worker, a three-second deadline: the read of position 5 hangs and
// position 6 reads slowly, so positions after it are claimed once the
// deadline has passed. The run is a stall at 5, with every record below.
// The deadline leaves positions 0-4 time to finish on a loaded machine (a
// sanitizer build among other tests): claimed after it, 5 would rightly
// be a deadline stop.
TEST_F(HangE2eTest, HangingReadIsAStallWithEveryRecordBelowIt) {
  MOUNT_OR_SKIP(12);
  testsupport::HangMount& m = this->m();
  // The storage goes bad once the inventory is taken; every blocked call
  // is let go after the closing line (until then the process could not end).
  testsupport::ProcessResult r = scan(m.mountPoint(), {"--deadline", "3"}, [&](const Json& line) {
    if (line.contains("total")) {
      m.start(Misbehaviour::kHangRead, "p05.jpg");
      m.slowDown("p06.jpg", 3000);
    }
    if (line.contains("of") && line["of"] != line["progress"]) m.stopAll();
  });
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  std::vector<Json> lines = testsupport::parseJsonLines(r.out);
  ASSERT_GE(lines.size(), 3u) << r.out;
  std::vector<int> positions;
  for (const Json& l : lines)
    if (l.contains("i")) positions.push_back(l["i"].get<int>());
  EXPECT_EQ(positions, (std::vector<int>{0, 1, 2, 3, 4})) << r.out;
  EXPECT_EQ(lines[lines.size() - 2], (Json{{"stop", "stalled"}, {"at", 5}})) << r.out;
  EXPECT_EQ(lines.back(), (Json{{"progress", 5}, {"of", 12}}));
}

// A read that never returns, and a file whose lookup never returns, hold
// the reader process, not the scan: the host sees the end of the output
// and the exit status as soon as the closing line is written, while both
// still hang (they are let go only after the run).
TEST_F(HangE2eTest, ProcessEndsAtItsClosingLineWhileReadsStillHang) {
  MOUNT_OR_SKIP(12);
  testsupport::HangMount& m = this->m();
  // A deadline the first five records meet even in a slow (sanitizer) build.
  testsupport::ProcessResult r = scan(m.mountPoint(), {"--deadline", "5"}, [&](const Json& line) {
    if (line.contains("total")) {
      m.start(Misbehaviour::kHangRead, "p05.jpg");
      m.start(Misbehaviour::kHangLookup, "p07.jpg");
    }
  });
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  std::vector<Json> lines = testsupport::parseJsonLines(r.out);
  ASSERT_GE(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[lines.size() - 2], (Json{{"stop", "stalled"}, {"at", 5}})) << r.out;
  // Generous for a loaded machine; without the reader process the end
  // came only when the watchdog let the reads go, a minute later.
  EXPECT_LT(r.elapsed - r.lastLineAt, 5s) << "closing line at " << r.lastLineAt.count() << " ms, exit at "
                                          << r.elapsed.count() << " ms";
}

// The read of one photo hangs from the start: the inventory reads headers
// only until the deadline, so the totals line comes (that photo dated by
// its file time, its size unknown), then the deadline stop.
TEST_F(HangE2eTest, HangingHeaderReadEndsTheInventoryAtTheDeadline) {
  MOUNT_OR_SKIP(12);
  testsupport::HangMount& m = this->m();
  m.start(Misbehaviour::kHangRead, "p05.jpg");
  testsupport::ProcessResult r = scan(m.mountPoint(), {"--deadline", "3"}, [&](const Json& line) {
    if (line.contains("of")) m.stopAll();
  });
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  std::vector<Json> lines = testsupport::parseJsonLines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[0]["library_total"], 12) << r.out;
  EXPECT_EQ(lines[1], (Json{{"stop", "deadline"}, {"at", 0}}));
  EXPECT_EQ(lines[2], (Json{{"progress", 0}, {"of", 12}}));
  EXPECT_LT(r.lastLineAt, 20s);
}

// A file whose reads fail (EIO, a failing disk) is listed without its
// header and answers read_failed; the others are scanned as usual.
TEST_F(HangE2eTest, FailingReadsAreReadFailedRecords) {
  MOUNT_OR_SKIP(3);
  testsupport::HangMount& m = this->m();
  m.start(Misbehaviour::kFailRead, "p01.jpg");
  testsupport::ProcessResult r = scan(m.mountPoint(), {"--deadline", "30"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  std::vector<Json> lines = testsupport::parseJsonLines(r.out);
  ASSERT_EQ(lines.size(), 6u) << r.out;  // totals, 3 records, progress 3 twice
  EXPECT_EQ(lines[0]["library_total"], 3);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(lines[1 + k]["i"], k);
    EXPECT_EQ(lines[1 + k]["ok"], k != 1) << lines[1 + k].dump();
  }
  EXPECT_EQ(lines[2]["err"], "read_failed");
}

// The library folder itself hangs on lookup, as a dead network mount does:
// the access answer is "not determined" after the 60-second bound, also
// with the lock-down, which must not look the folder up outside it.
TEST_F(HangE2eTest, HangingLibraryFolderGetsTheAccessAnswerInTime) {
  MOUNT_OR_SKIP(2);
  testsupport::HangMount& m = this->m();
  m.start(Misbehaviour::kHangLookup, ".");
  testsupport::ProcessResult r = scan(m.mountPoint(), {"--deadline", "1"}, [&](const Json&) { m.stopAll(); });
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, "{\"auth\":\"not-determined\"}\n");
  EXPECT_GE(r.lastLineAt, 59s);
  EXPECT_LT(r.lastLineAt, 70s);
}

}  // namespace
