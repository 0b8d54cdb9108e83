#include "albumsweep/scan_driver.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "albumsweep/scan_test_support.h"
#include "imaging/imaging.h"

namespace albumsweep {
namespace {

using photolibrary::AuthorizationStatus;
using photolibrary::FakePhotoLibrary;
using testing::CapturedOutput;
using testing::HookedLibrary;
using testing::imageEntry;
using testing::ManualClock;
using Json = nlohmann::json;

// One scan against a fake library, with a clock that moves only when a test
// moves it (from inside a library request, through HookedLibrary hooks).
class ScanHarness {
 public:
  ScanHarness() : hooked_(library_) {}
  ~ScanHarness() { finishStrayWorkers(); }

  FakePhotoLibrary& library() { return library_; }
  HookedLibrary& hooked() { return hooked_; }
  ManualClock& clock() { return clock_; }

  // n images "img00".."img<n-1>", newest first in that order.
  // `neverReturns`: positions whose request blocks until released.
  // `data`: every image's bytes (none: a quick "no_data" record).
  std::vector<std::string> addImages(int n, std::set<int> neverReturns = {}, std::vector<std::uint8_t> data = {}) {
    std::vector<std::string> ids;
    for (int k = 0; k < n; ++k) {
      char id[16];
      std::snprintf(id, sizeof id, "img%02d", k);
      auto entry = imageEntry(id, 1000.0 - k, data);
      entry.response.neverReturns = neverReturns.count(k) > 0;
      library_.add(entry);
      ids.push_back(id);
    }
    return ids;
  }

  int run(std::vector<std::string> args = {}, std::string input = "") {
    args.insert(args.begin(), "albumsweep");
    RunSettings settings = parseRunSettings(args, clock_.now());
    clock_.advance(timing::Seconds(secondsBeforeScan));  // as if authorization took that long
    Services services;
    services.library = &hooked_;
    services.clock = &clock_;
    services.out = output ? output : out_.file();
    services.input = std::move(input);
    services.limits.authorization = timing::Seconds(limitAuthorization);
    services.limits.heartbeat = timing::Seconds(limitHeartbeat);
    run_ = runScan(settings, services);
    return run_.status;
  }

  // Lets blocked requests return and waits until every worker has left.
  void finishStrayWorkers() {
    library_.releaseBlockedRequests();
    if (run_.workers) run_.workers->waitForExit();
  }

  std::string text() { return out_.text(); }
  std::size_t linesSoFar() { return out_.linesSoFar(); }
  std::vector<Json> lines() { return out_.lines(); }

  double limitAuthorization = 2.0;
  double limitHeartbeat = 5.0;
  double secondsBeforeScan = 0.0;
  std::FILE* output = nullptr;  // instead of the captured output

 private:
  FakePhotoLibrary library_;
  HookedLibrary hooked_;
  ManualClock clock_;
  CapturedOutput out_;
  ScanRun run_;
};

struct Split {
  std::vector<Json> records, progress, stops;
};

Split split(const std::vector<Json>& lines) {
  Split s;
  for (std::size_t k = 1; k < lines.size(); ++k) {  // after the totals line
    const Json& l = lines[k];
    if (l.contains("progress")) s.progress.push_back(l);
    else if (l.contains("stop")) s.stops.push_back(l);
    else s.records.push_back(l);
  }
  return s;
}

Json progressLine(std::int64_t n, std::int64_t of) { return {{"progress", n}, {"of", of}}; }

class ScanDriverTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { imaging::initImaging(); }
};

TEST_F(ScanDriverTest, AllDoneInIndexOrder) {
  ScanHarness h;
  h.addImages(25);
  ASSERT_EQ(h.run(), 0);
  std::vector<Json> lines = h.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], (Json{{"auth", "authorized"}, {"total", 25}, {"library_total", 25},
                            {"video_total", 0}, {"hidden_total", 0}}));
  Split s = split(lines);
  ASSERT_EQ(s.records.size(), 25u);
  for (int k = 0; k < 25; ++k) {
    EXPECT_EQ(s.records[k]["i"], k);
    char id[16];
    std::snprintf(id, sizeof id, "img%02d", k);
    EXPECT_EQ(s.records[k]["id"], id);  // newest first
  }
  EXPECT_TRUE(s.stops.empty());
  // Worker lines 10, 20, 25, then the closing line: 25 of 25 twice.
  EXPECT_EQ(s.progress, (std::vector<Json>{progressLine(10, 25), progressLine(20, 25), progressLine(25, 25),
                                           progressLine(25, 25)}));
  EXPECT_EQ(lines.back(), progressLine(25, 25));
}

TEST_F(ScanDriverTest, DeadlineStopRecordsThePositionThatDidNotStart) {
  ScanHarness h;
  std::vector<std::string> ids = h.addImages(25);
  // The deadline passes while asset 7 is being scanned.
  h.hooked().onRequest(ids[7], [&] { h.clock().advance(timing::Seconds(241)); });
  ASSERT_EQ(h.run(), 0);
  std::vector<Json> lines = h.lines();
  Split s = split(lines);
  ASSERT_EQ(s.records.size(), 8u);
  EXPECT_EQ(s.records.back()["i"], 7);  // asset 7 completes
  ASSERT_EQ(s.stops.size(), 1u);
  EXPECT_EQ(s.stops[0], (Json{{"stop", "deadline"}, {"at", 8}}));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], s.stops[0]);
  EXPECT_EQ(lines.back(), progressLine(8, 25));
  for (int k = 8; k < 25; ++k) EXPECT_EQ(h.library().requestCount(ids[k]), 0) << k;
}

TEST_F(ScanDriverTest, DeadlinePassedBeforeTheFirstAsset) {
  ScanHarness h;
  std::vector<std::string> ids = h.addImages(3);
  h.secondsBeforeScan = 1.5;  // the 1-second deadline runs out during start-up
  ASSERT_EQ(h.run({"--deadline", "0"}), 0);
  std::vector<Json> lines = h.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], (Json{{"stop", "deadline"}, {"at", 0}}));
  EXPECT_EQ(lines[2], progressLine(0, 3));
  for (const auto& id : ids) EXPECT_EQ(h.library().requestCount(id), 0);
}

TEST_F(ScanDriverTest, StallWithOneWorkerBlocked) {
  ScanHarness h;
  std::vector<std::string> ids = h.addImages(3, {0});
  // The first request never returns, and meanwhile the grace period runs out.
  h.hooked().onRequest(ids[0], [&] { h.clock().advance(timing::Seconds(240 + 31)); });
  ASSERT_EQ(h.run(), 0);  // returns although a worker is still blocked
  std::string before = h.text();
  std::vector<Json> lines = h.lines();
  ASSERT_EQ(lines.size(), 3u) << before;
  EXPECT_EQ(lines[1], (Json{{"stop", "stalled"}, {"at", 0}}));
  EXPECT_EQ(lines[2], progressLine(0, 3));
  // The blocked worker comes back late: it must write nothing more.
  h.finishStrayWorkers();
  EXPECT_EQ(h.text(), before);
}

TEST_F(ScanDriverTest, StallWithEightWorkersCountsTheCompleted) {
  ScanHarness h;
  // Assets 0 and 6-12 never return; 1-5 answer at once. Once all seven of
  // 6-12 are under way, all eight workers are blocked for good, so each of
  // 1-5 was finished (record written and counted) by a worker before it
  // took its blocking asset. Then the grace period runs out.
  std::vector<std::string> ids = h.addImages(13, {0, 6, 7, 8, 9, 10, 11, 12});
  std::atomic<int> blockedLater{0};
  for (int k = 6; k < 13; ++k) h.hooked().onRequest(ids[k], [&] { ++blockedLater; });
  h.hooked().onRequest(ids[0], [&] {
    while (blockedLater < 7) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    h.clock().advance(timing::Seconds(240 + 31));
  });
  ASSERT_EQ(h.run({"--allow-cloud"}), 0);
  std::vector<Json> lines = h.lines();
  Split s = split(lines);
  EXPECT_EQ(s.records.size(), 5u);
  ASSERT_EQ(s.stops.size(), 1u);
  EXPECT_EQ(s.stops[0], (Json{{"stop", "stalled"}, {"at", 5}}));
  EXPECT_EQ(lines.back(), progressLine(5, 13));
  std::string before = h.text();
  h.finishStrayWorkers();
  EXPECT_EQ(h.text(), before);
}

TEST_F(ScanDriverTest, DeadlineStopAndAbandonedWaitWriteOnlyTheDeadlineLine) {
  ScanHarness h;
  std::vector<std::string> ids = h.addImages(10, {0});
  std::atomic<int> entered{0};
  std::atomic<bool> deadlinePassed{false};
  for (int k = 1; k < 8; ++k) {
    h.hooked().onRequest(ids[k], [&] {
      ++entered;
      while (!deadlinePassed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
  }
  // Asset 0 never returns. Once assets 1-7 are under way the deadline
  // passes; their workers then find it passed for 8 and 9; later the grace
  // period runs out too.
  h.hooked().onRequest(ids[0], [&] {
    while (entered < 7) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    h.clock().advance(timing::Seconds(241));
    deadlinePassed = true;
    while (h.hooked().returned() < 7) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // their records, and the stop
    h.clock().advance(timing::Seconds(30));
  });
  ASSERT_EQ(h.run({"--allow-cloud"}), 0);
  std::vector<Json> lines = h.lines();
  Split s = split(lines);
  ASSERT_EQ(s.stops.size(), 1u);
  EXPECT_EQ(s.stops[0], (Json{{"stop", "deadline"}, {"at", 8}}));
  EXPECT_EQ(s.records.size(), 7u);
  EXPECT_EQ(lines.back(), progressLine(7, 10));
  h.finishStrayWorkers();
}

// One worker: fingerprints of earlier assets are still being made when the
// deadline passes during the request of asset 2. Records come out in index
// order up to 2, and nothing at or past the stop is requested or written.
TEST_F(ScanDriverTest, DeadlineWhileEarlierFingerprintsAreUnderWay) {
  ScanHarness h;
  std::vector<std::string> ids = h.addImages(6, {}, testing::sampleJpeg());
  h.hooked().onRequest(ids[2], [&] { h.clock().advance(timing::Seconds(241)); });
  ASSERT_EQ(h.run(), 0);
  Split s = split(h.lines());
  ASSERT_EQ(s.records.size(), 3u);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(s.records[k]["i"], k);
    EXPECT_EQ(s.records[k]["ok"], true) << s.records[k].dump();
  }
  ASSERT_EQ(s.stops.size(), 1u);
  EXPECT_EQ(s.stops[0], (Json{{"stop", "deadline"}, {"at", 3}}));
  for (int k = 3; k < 6; ++k) EXPECT_EQ(h.library().requestCount(ids[k]), 0) << k;
}

// One worker: the request of asset 2 hangs while 0 and 1 are still being
// fingerprinted. Their records come out; the hang holds asset 2's turn and
// every later one (3 is never requested); the stall is "at" 2.
TEST_F(ScanDriverTest, HangingRequestHoldsItsTurnWhileEarlierRecordsComeOut) {
  ScanHarness h;
  std::vector<std::string> ids = h.addImages(4, {2}, testing::sampleJpeg());
  h.hooked().onRequest(ids[2], [&] {
    // The totals line and two records, then the grace period runs out.
    for (int wait = 0; wait < 120000 && h.linesSoFar() < 3; ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    h.clock().advance(timing::Seconds(240 + 31));
  });
  ASSERT_EQ(h.run(), 0);
  std::string before = h.text();
  Split s = split(h.lines());
  ASSERT_EQ(s.records.size(), 2u) << before;
  for (int k = 0; k < 2; ++k) EXPECT_EQ(s.records[k]["i"], k);
  ASSERT_EQ(s.stops.size(), 1u);
  EXPECT_EQ(s.stops[0], (Json{{"stop", "stalled"}, {"at", 2}}));
  EXPECT_EQ(h.library().requestCount(ids[3]), 0);
  h.finishStrayWorkers();
  EXPECT_EQ(h.text(), before);
}

// One worker: the read of asset 5 hangs while the scan goes on claiming
// (6, 7 and 8 are fingerprinted ahead), then the deadline passes and 9
// records a deadline stop. When the wait is abandoned, 5 never finished:
// the stop is a stall at 5, every position below it has its record, and
// the records computed above it are dropped, never written out of order.
TEST_F(ScanDriverTest, HangingReadIsAStallAtItsPosition) {
  ScanHarness h;
  std::vector<std::string> ids = h.addImages(12, {}, testing::sampleJpeg());
  std::atomic<bool> deadlinePassed{false}, released{false};
  h.hooked().onRequest(ids[8], [&] {
    h.clock().advance(timing::Seconds(241));
    deadlinePassed = true;
  });
  h.hooked().onRead(ids[5], [&] {
    // (On one core, 8 is never requested while 5 holds the only decode.)
    for (int wait = 0; wait < 10000 && !deadlinePassed; ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!deadlinePassed) h.clock().advance(timing::Seconds(241));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // 9 finds the deadline passed
    h.clock().advance(timing::Seconds(30));
    while (!released) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  ASSERT_EQ(h.run(), 0);
  std::string before = h.text();
  Split s = split(h.lines());
  ASSERT_EQ(s.records.size(), 5u) << before;
  for (int k = 0; k < 5; ++k) EXPECT_EQ(s.records[k]["i"], k);
  ASSERT_EQ(s.stops.size(), 1u);
  EXPECT_EQ(s.stops[0], (Json{{"stop", "stalled"}, {"at", 5}}));
  EXPECT_EQ(h.library().requestCount(ids[9]), 0);
  released = true;
  h.finishStrayWorkers();
  EXPECT_EQ(h.text(), before);
}

// One worker: the read of asset 0 is slow (a large photo). The other cores
// go on with the photos after it, well past the few a thread each could
// hold, while 0's record keeps the others waiting; then every record comes
// out in index order.
TEST_F(ScanDriverTest, SlowPhotoLeavesNoCoreIdleBehindIt) {
  if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one core: nothing runs beside the slow photo";
  ScanHarness h;
  std::vector<std::string> ids = h.addImages(40, {}, testing::sampleJpeg());
  std::atomic<bool> farAheadRead{false}, readWhileSlow{false}, anyRecordEarly{false};
  h.hooked().onRead(ids[30], [&] { farAheadRead = true; });
  h.hooked().onRead(ids[0], [&] {
    for (int wait = 0; wait < 10000 && !farAheadRead; ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    readWhileSlow = farAheadRead.load();
    anyRecordEarly = h.linesSoFar() > 1;  // only the totals line so far
  });
  ASSERT_EQ(h.run(), 0);
  EXPECT_TRUE(readWhileSlow) << "position 30 was not read while position 0 was";
  EXPECT_FALSE(anyRecordEarly) << "a record went out before record 0";
  Split s = split(h.lines());
  ASSERT_EQ(s.records.size(), 40u);
  for (int k = 0; k < 40; ++k) EXPECT_EQ(s.records[k]["i"], k);
  EXPECT_TRUE(s.stops.empty());
}

// The library's listing hangs (its storage stopped answering during the
// walk): the scan still answers once the grace period after the deadline
// has run out, with empty totals and a stall before the first position.
TEST_F(ScanDriverTest, InventoryThatHangsIsAStall) {
  struct HangingListing : HookedLibrary {
    using HookedLibrary::HookedLibrary;
    std::vector<photolibrary::Asset> fetchAssets(photolibrary::MediaType t,
                                                 const photolibrary::FetchOptions& o) override {
      clock->advance(timing::Seconds(240 + 31));
      while (!released) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return HookedLibrary::fetchAssets(t, o);
    }
    std::int64_t countAssets(const photolibrary::FetchOptions& o) override {
      std::int64_t n = HookedLibrary::countAssets(o);
      ++counted;  // the listing's last use of the library is the second count
      return n;
    }
    ManualClock* clock = nullptr;
    std::atomic<bool> released{false};
    std::atomic<int> counted{0};
  };
  FakePhotoLibrary fake;
  fake.add(imageEntry("a", 1000.0, {}));
  HangingListing library(fake);
  ManualClock clock;
  library.clock = &clock;
  CapturedOutput out;
  RunSettings settings = parseRunSettings({"albumsweep"}, clock.now());
  Services services;
  services.library = &library;
  services.clock = &clock;
  services.out = out.file();
  EXPECT_EQ(runScan(settings, services).status, 0);
  std::vector<Json> lines = out.lines();
  ASSERT_EQ(lines.size(), 3u) << out.text();
  EXPECT_EQ(lines[0]["total"], 0);
  EXPECT_EQ(lines[1], (Json{{"stop", "stalled"}, {"at", 0}}));
  EXPECT_EQ(lines[2], progressLine(0, 0));
  library.released = true;
  while (library.counted < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST_F(ScanDriverTest, MaxOneScansTheNewestImage) {
  ScanHarness h;
  h.addImages(4);
  ASSERT_EQ(h.run({"--max", "1"}), 0);
  std::vector<Json> lines = h.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0]["total"], 1);
  EXPECT_EQ(lines[0]["library_total"], 4);
  EXPECT_EQ(lines[1]["id"], "img00");
  EXPECT_EQ(lines[2], progressLine(1, 1));
  EXPECT_EQ(lines[3], progressLine(1, 1));
}

TEST_F(ScanDriverTest, InventoryTotals) {
  auto entry = [](std::string id, photolibrary::MediaType type, bool hidden, double created) {
    auto e = imageEntry(id, created, {});
    e.asset.mediaType = type;
    e.asset.hidden = hidden;
    return e;
  };
  using photolibrary::MediaType;
  struct Case {
    const char* what;
    std::vector<photolibrary::FakePhotoLibrary::Entry> entries;
    std::vector<std::string> args;
    Json totals;
    std::vector<std::string> scanned;
  } cases[] = {
      {"3 images, 2 videos, 1 hidden image, 1 hidden video",
       {entry("old", MediaType::kImage, false, 1), entry("new", MediaType::kImage, false, 3),
        entry("mid", MediaType::kImage, false, 2), entry("v1", MediaType::kVideo, false, 5),
        entry("v2", MediaType::kVideo, false, 6), entry("h1", MediaType::kImage, true, 9),
        entry("hv", MediaType::kVideo, true, 9)},
       {},
       {{"auth", "authorized"}, {"total", 3}, {"library_total", 3}, {"video_total", 2}, {"hidden_total", 2}},
       {"new", "mid", "old"}},
      {"the same with --max 2",
       {entry("old", MediaType::kImage, false, 1), entry("new", MediaType::kImage, false, 3),
        entry("mid", MediaType::kImage, false, 2), entry("v1", MediaType::kVideo, false, 5)},
       {"--max", "2"},
       {{"auth", "authorized"}, {"total", 2}, {"library_total", 3}, {"video_total", 1}, {"hidden_total", 0}},
       {"new", "mid"}},
      {"videos only",
       {entry("v1", MediaType::kVideo, false, 5), entry("hv", MediaType::kVideo, true, 9)},
       {},
       {{"auth", "authorized"}, {"total", 0}, {"library_total", 0}, {"video_total", 1}, {"hidden_total", 1}},
       {}},
  };
  for (const auto& c : cases) {
    ScanHarness h;
    for (const auto& e : c.entries) h.library().add(e);
    ASSERT_EQ(h.run(c.args), 0) << c.what;
    std::vector<Json> lines = h.lines();
    ASSERT_FALSE(lines.empty()) << c.what;
    EXPECT_EQ(lines[0], c.totals) << c.what;
    Split s = split(lines);
    std::vector<std::string> scanned;
    for (const auto& r : s.records) scanned.push_back(r["id"]);
    EXPECT_EQ(scanned, c.scanned) << c.what;
    if (c.scanned.empty()) {
      EXPECT_EQ(lines.size(), 1u) << c.what << ": nothing after the totals line";
    }
  }
}

TEST_F(ScanDriverTest, AuthorizationOutcomes) {
  struct Case {
    const char* what;
    FakePhotoLibrary::AuthorizationScript script;
    std::string output;  // empty: the scan goes on
  } cases[] = {
      {"denied", {AuthorizationStatus::kDenied, true}, "{\"auth\":\"denied\"}\n"},
      {"restricted", {AuthorizationStatus::kRestricted, true}, "{\"auth\":\"restricted\"}\n"},
      {"limited", {AuthorizationStatus::kLimited, false}, "{\"auth\":\"limited\"}\n"},
      {"not determined", {AuthorizationStatus::kNotDetermined, true}, "{\"auth\":\"not-determined\"}\n"},
      {"no answer in time", {std::nullopt, true}, "{\"auth\":\"not-determined\"}\n"},
      {"authorized on the calling thread", {AuthorizationStatus::kAuthorized, false}, ""},
      {"a status we do not know", {static_cast<AuthorizationStatus>(7), true}, ""},
  };
  for (const auto& c : cases) {
    ScanHarness h;
    h.limitAuthorization = 0.05;
    h.addImages(1);
    h.library().setAuthorization(c.script);
    EXPECT_EQ(h.run(), 0) << c.what;
    if (c.output.empty()) {
      EXPECT_EQ(h.lines().size(), 4u) << c.what;  // totals, record, worker and closing progress
    } else {
      EXPECT_EQ(h.text(), c.output) << c.what;
      EXPECT_EQ(h.library().requestCount("img00"), 0) << c.what;
    }
  }
}

// Eight workers, answers in random order after random short delays, and
// download progress calls that write heartbeats from other threads.
TEST_F(ScanDriverTest, OutputThatFailsStopsTheScanAtOnce) {
  testing::FailingOutput out(3);  // the totals line and two records
  ScanHarness h;
  std::vector<std::string> ids = h.addImages(30);
  h.output = out.file();
  EXPECT_EQ(h.run(), 1);
  EXPECT_EQ(std::count(out.text().begin(), out.text().end(), '\n'), 3);
  // Asset 2's record could not be written; no asset after it was started.
  for (int k = 0; k < 30; ++k) EXPECT_EQ(h.library().requestCount(ids[k]), k <= 2 ? 1 : 0) << k;
}

TEST_F(ScanDriverTest, EightWorkersDeliveringInRandomOrder) {
  constexpr int kAssets = 60;
  ScanHarness h;
  h.limitHeartbeat = 0.0;  // every progress call writes a heartbeat
  std::mt19937 random(12345);
  auto jpeg = testing::sampleJpeg(32, 24);
  int progressCalls = 0;
  for (int k = 0; k < kAssets; ++k) {
    char id[16];
    std::snprintf(id, sizeof id, "img%02d", k);
    auto entry = imageEntry(id, 1000.0 - k, k % 3 == 0 ? jpeg : std::vector<std::uint8_t>{});
    entry.response.delay = std::chrono::microseconds(random() % 3000);
    entry.response.progressCalls = static_cast<int>(random() % 3);
    progressCalls += entry.response.progressCalls;
    h.library().add(entry);
  }
  ASSERT_EQ(h.run({"--allow-cloud"}), 0);
  std::vector<Json> lines = h.lines();  // every line must parse on its own
  Split s = split(lines);
  std::set<std::int64_t> seen;
  for (const auto& r : s.records) EXPECT_TRUE(seen.insert(r["i"].get<std::int64_t>()).second) << r.dump();
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kAssets));
  EXPECT_TRUE(s.stops.empty());
  for (const auto& r : s.records) EXPECT_EQ(h.library().lastNetworkAccess(r["id"]), true);
  // Six worker lines (10 ... 60), one heartbeat per progress call, the closing line.
  EXPECT_EQ(s.progress.size(), static_cast<std::size_t>(6 + progressCalls + 1));
  std::int64_t last = 0;
  std::map<std::int64_t, int> byCount;
  for (const auto& p : s.progress) {
    EXPECT_EQ(p["of"], kAssets);
    EXPECT_GE(p["progress"].get<std::int64_t>(), last) << "counts never go back";
    last = p["progress"];
    ++byCount[last];
  }
  for (int n = 10; n <= kAssets; n += 10) EXPECT_GE(byCount[n], 1) << n;
  EXPECT_EQ(lines.back(), progressLine(kAssets, kAssets));
}

}  // namespace
}  // namespace albumsweep
