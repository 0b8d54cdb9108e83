#include "albumsweep/scan_worker.h"
#include "imaging/digest.h"

#include <set>

#include <gtest/gtest.h>

#include "albumsweep/scan_test_support.h"
#include "imaging/imaging.h"
#include "testsupport/images.h"

namespace albumsweep {
namespace {

using photolibrary::FakePhotoLibrary;
using photolibrary::ImageResultInfo;
using testing::CapturedOutput;
using testing::imageEntry;
using testing::sampleJpeg;
using Json = nlohmann::json;

std::set<std::string> keysOf(const Json& j) {
  std::set<std::string> keys;
  for (auto it = j.begin(); it != j.end(); ++it) keys.insert(it.key());
  return keys;
}

const std::set<std::string> kFailureKeys = {"i", "id", "state", "ok", "err"};
const std::set<std::string> kCloudKeys = {"i", "id", "state", "ok", "err", "w", "h", "created", "mod", "name"};
const std::set<std::string> kCachedKeys = {"i", "id", "state", "ok", "cached", "bytes", "mod", "w", "h", "created", "name"};
const std::set<std::string> kFullKeys = {"i", "id", "state", "ok", "hash", "sha", "w", "h",
                                         "bytes", "created", "mod", "thumb", "name"};

// Scans the entries of one fake library with scanOne, one after another.
class WorkerHarness {
 public:
  explicit WorkerHarness(bool allowCloud = false, std::string manifest = "", std::int64_t planned = 1000)
      : skip_(readSkipManifest(manifest)),
        output_(out_.file(), clock_, planned, timing::Seconds(5.0)),
        context_{&library_, allowCloud, &skip_, &output_} {}

  FakePhotoLibrary& library() { return library_; }
  timing::FakeClock& clock() { return clock_; }
  ScanOutput& output() { return output_; }

  // Scans entry `entry` at position i and returns every line written.
  std::vector<Json> scan(FakePhotoLibrary::Entry entry, std::int64_t i = 0) {
    library_.add(entry);
    scanOne(i, entry.asset, context_);
    return out_.lines();
  }
  std::vector<Json> lines() { return out_.lines(); }
  void scanAsset(const photolibrary::Asset& asset, std::int64_t i) { scanOne(i, asset, context_); }

 private:
  FakePhotoLibrary library_;
  timing::FakeClock clock_;
  CapturedOutput out_;
  SkipManifest skip_;
  ScanOutput output_;
  ScanContext context_;
};

class ScanWorkerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { imaging::initImaging(); }
};

ImageResultInfo infoWith(bool inCloud, bool degraded, bool hasError) {
  ImageResultInfo info;
  info.inCloud = inCloud;
  info.degraded = degraded;
  info.hasError = hasError;
  return info;
}

TEST_F(ScanWorkerTest, ClassifiesEveryAnswer) {
  const std::vector<std::uint8_t> jpeg = sampleJpeg();
  const std::vector<std::uint8_t> text = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'};
  struct Case {
    const char* what;
    std::optional<std::vector<std::uint8_t>> data;
    std::optional<ImageResultInfo> info;
    bool callsHandler;
    std::string state, err;  // err empty: a full record
    std::set<std::string> keys;
  } cases[] = {
      {"in the cloud", std::nullopt, infoWith(true, false, false), true, "cloud", "in_cloud", kCloudKeys},
      {"in the cloud and degraded, with data", jpeg, infoWith(true, true, true), true, "cloud", "in_cloud", kCloudKeys},
      {"degraded", jpeg, infoWith(false, true, false), true, "unknown", "degraded_only", kFailureKeys},
      {"error without data", std::nullopt, infoWith(false, false, true), true, "unknown", "read_failed", kFailureKeys},
      {"error with empty data", std::vector<std::uint8_t>{}, infoWith(false, false, true), true, "unknown",
       "read_failed", kFailureKeys},
      {"empty data", std::vector<std::uint8_t>{}, infoWith(false, false, false), true, "unknown", "no_data",
       kFailureKeys},
      {"no data, no information", std::nullopt, std::nullopt, true, "unknown", "no_data", kFailureKeys},
      {"handler never called", jpeg, std::nullopt, false, "unknown", "no_result", kFailureKeys},
      {"not an image", text, std::nullopt, true, "unknown", "decode_failed", kFailureKeys},
      {"error with data is still read", jpeg, infoWith(false, false, true), true, "local", "", kFullKeys},
      {"readable, no information", jpeg, std::nullopt, true, "local", "", kFullKeys},
  };
  for (const auto& c : cases) {
    WorkerHarness h;
    auto entry = imageEntry("dir/a.jpg", 100.0, {});
    entry.response.data = c.data;
    entry.response.info = c.info;
    entry.response.callsHandler = c.callsHandler;
    std::vector<Json> lines = h.scan(entry, 7);
    ASSERT_EQ(lines.size(), 1u) << c.what;
    const Json& r = lines[0];
    EXPECT_EQ(keysOf(r), c.keys) << c.what << ": " << r.dump();
    EXPECT_EQ(r["i"], 7) << c.what;
    EXPECT_EQ(r["id"], "dir/a.jpg") << c.what;
    EXPECT_EQ(r["state"], c.state) << c.what;
    EXPECT_EQ(r["ok"], c.err.empty()) << c.what;
    if (!c.err.empty()) {
      EXPECT_EQ(r["err"], c.err) << c.what;
    }
    EXPECT_EQ(h.library().requestCount("dir/a.jpg"), 1) << c.what;
    EXPECT_EQ(h.library().lastNetworkAccess("dir/a.jpg"), false) << c.what;
  }
}

TEST_F(ScanWorkerTest, FullRecordValues) {
  WorkerHarness h;
  auto bytes = sampleJpeg(80, 60);
  auto entry = imageEntry("a.jpg", 1.5, bytes);
  entry.asset.modificationDate = 2.25;
  entry.asset.pixelWidth = 999;  // the stored size of the data wins over the asset's
  entry.asset.pixelHeight = 888;
  entry.resources = {{photolibrary::kResourcePhoto, "IMG_0001.JPG"}};
  std::vector<Json> lines = h.scan(entry, 3);
  ASSERT_EQ(lines.size(), 1u);
  const Json& r = lines[0];
  ASSERT_EQ(keysOf(r), kFullKeys) << r.dump();
  EXPECT_EQ(r["state"], "local");
  EXPECT_EQ(r["ok"], true);
  EXPECT_EQ(r["sha"], imaging::sha256Hex(bytes));
  EXPECT_EQ(r["bytes"], static_cast<std::int64_t>(bytes.size()));
  EXPECT_EQ(r["w"], 80);
  EXPECT_EQ(r["h"], 60);
  EXPECT_EQ(r["created"], 1500);
  EXPECT_EQ(r["mod"], 2250);
  EXPECT_EQ(r["name"], "IMG_0001.JPG");
  // The hash and thumbnail come from one 256-pixel thumbnail of the data.
  auto thumb = imaging::thumbFrom(bytes, 256);
  ASSERT_TRUE(thumb);
  EXPECT_EQ(r["hash"], imaging::hashText(*imaging::dhash(thumb->image)));
  auto jpeg = testsupport::base64Decode(r["thumb"].get<std::string>());
  ASSERT_TRUE(jpeg);
  ASSERT_GE(jpeg->size(), 2u);
  EXPECT_EQ((*jpeg)[0], 0xFF);
  EXPECT_EQ((*jpeg)[1], 0xD8);
}

TEST_F(ScanWorkerTest, Sha256OfAbcIsThePublishedVector) {
  const std::vector<std::uint8_t> abc = {'a', 'b', 'c'};
  EXPECT_EQ(imaging::sha256Hex(abc), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(imaging::sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST_F(ScanWorkerTest, CacheCheckAgainstTheManifest) {
  auto bytes = sampleJpeg();
  const std::int64_t size = static_cast<std::int64_t>(bytes.size());
  // imageEntry: created 100 s, modified 101 s -> "mod" 101000.
  struct Case {
    const char* what;
    std::string manifest;
    bool cached;
  } cases[] = {
      {"mod and size match", R"({"skip":[{"id":"a.jpg","mod":101000,"size":)" + std::to_string(size) + "}]}", true},
      {"size one byte off", R"({"skip":[{"id":"a.jpg","mod":101000,"size":)" + std::to_string(size + 1) + "}]}",
       false},
      {"mod differs", R"({"skip":[{"id":"a.jpg","mod":101001,"size":)" + std::to_string(size) + "}]}", false},
      {"other id", R"({"skip":[{"id":"b.jpg","mod":101000,"size":)" + std::to_string(size) + "}]}", false},
      {"no manifest", "", false},
  };
  for (const auto& c : cases) {
    WorkerHarness h(false, c.manifest);
    auto entry = imageEntry("a.jpg", 100.0, bytes);
    entry.asset.pixelWidth = 640;
    entry.asset.pixelHeight = 480;
    std::vector<Json> lines = h.scan(entry);
    ASSERT_EQ(lines.size(), 1u) << c.what;
    const Json& r = lines[0];
    if (c.cached) {
      EXPECT_EQ(keysOf(r), kCachedKeys) << c.what << ": " << r.dump();
      EXPECT_EQ(r["state"], "local");
      EXPECT_EQ(r["cached"], true);
      EXPECT_EQ(r["bytes"], size);
      EXPECT_EQ(r["mod"], 101000);
      EXPECT_EQ(r["created"], 100000);
      EXPECT_EQ(r["w"], 640);  // the asset's own size, nothing was decoded
      EXPECT_EQ(r["h"], 480);
    } else {
      EXPECT_EQ(keysOf(r), kFullKeys) << c.what << ": " << r.dump();
    }
  }
  // A manifest size of 0 never gives a cached record: empty data is "no_data".
  WorkerHarness h(false, R"({"skip":[{"id":"a.jpg","mod":101000,"size":0}]})");
  std::vector<Json> lines = h.scan(imageEntry("a.jpg", 100.0, {}));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["err"], "no_data");
}

// The file of an asset changes between the answer (its size) and the read
// of its bytes: a cache hit reads no bytes at all; otherwise the record
// describes the bytes read, hash, SHA-256, size and pixel size alike.
TEST_F(ScanWorkerTest, DataChangingAfterTheAnswerGivesOneConsistentRecord) {
  const std::vector<std::uint8_t> before = sampleJpeg(64, 48), after = sampleJpeg(80, 40);
  struct ChangedData : photolibrary::ImageData {
    std::int64_t oldSize = 0;
    std::vector<std::uint8_t> now;
    int reads = 0;
    std::int64_t size() const override { return oldSize; }
    std::optional<std::span<const std::uint8_t>> bytes() override {
      ++reads;
      return now;
    }
  };
  struct ChangingLibrary : FakePhotoLibrary {
    std::shared_ptr<ChangedData> data = std::make_shared<ChangedData>();
    void requestLazyImageData(const photolibrary::Asset&, const photolibrary::ImageRequestOptions&,
                              const photolibrary::LazyImageResultHandler& handler) override {
      ImageResultInfo info;
      handler(data, &info);
    }
  };
  for (bool hit : {true, false}) {
    ChangingLibrary library;
    library.data->oldSize = static_cast<std::int64_t>(before.size());
    library.data->now = after;
    auto entry = imageEntry("a.jpg", 100.0, {});
    library.add(entry);
    timing::FakeClock clock;
    CapturedOutput out;
    SkipManifest skip = readSkipManifest(
        hit ? R"({"skip":[{"id":"a.jpg","mod":101000,"size":)" + std::to_string(before.size()) + "}]}" : "");
    ScanOutput output(out.file(), clock, 1, timing::Seconds(5.0));
    ScanContext context{&library, false, &skip, &output};
    scanOne(0, entry.asset, context);
    std::vector<Json> lines = out.lines();
    ASSERT_EQ(lines.size(), 2u);
    const Json& r = lines[0];
    if (hit) {
      EXPECT_EQ(r["cached"], true) << r.dump();
      EXPECT_EQ(library.data->reads, 0);
      continue;
    }
    EXPECT_EQ(library.data->reads, 1);
    std::optional<imaging::Thumb> thumb = imaging::thumbFrom(after, 256);
    ASSERT_TRUE(thumb);
    EXPECT_EQ(r["sha"], imaging::sha256Hex(after)) << r.dump();
    EXPECT_EQ(r["hash"], imaging::hashText(*imaging::dhash(thumb->image)));
    EXPECT_EQ(r["bytes"], after.size());
    EXPECT_EQ(r["w"], 80);
    EXPECT_EQ(r["h"], 40);
  }
}

TEST_F(ScanWorkerTest, MultiresInEveryForm) {
  auto jpeg = sampleJpeg();
  struct Case {
    const char* what;
    std::uint64_t subtypes;
    std::vector<photolibrary::AssetResource> resources;
    bool multires;
  } cases[] = {
      {"plain photo", 0, {{1, "a.jpg"}}, false},
      {"live photo bit", photolibrary::kMediaSubtypeLivePhoto, {{1, "a.jpg"}}, true},
      {"raw+jpeg", 0, {{1, "a.jpg"}, {4, "a.nef"}}, true},
      {"paired video", 0, {{1, "a.jpg"}, {9, "a.mov"}}, true},
      {"full-size paired video", 0, {{1, "a.jpg"}, {10, "a.mov"}}, true},
      {"adjustment-base paired video", 0, {{1, "a.jpg"}, {11, "a.mov"}}, true},
      {"other resource types", 4ull << 4, {{1, "a.jpg"}, {2, "a.mov"}, {7, "x"}}, false},
      {"no resources", 0, {}, false},
  };
  for (const auto& c : cases) {
    // The same flag in the full, cloud and failure forms.
    for (int form = 0; form < 3; ++form) {
      WorkerHarness h;
      auto entry = imageEntry("a.jpg", 100.0, form == 2 ? std::vector<std::uint8_t>{} : jpeg);
      entry.asset.mediaSubtypes = c.subtypes;
      entry.resources = c.resources;
      if (form == 1) entry.response.info = infoWith(true, false, false);
      std::vector<Json> lines = h.scan(entry);
      ASSERT_EQ(lines.size(), 1u);
      if (c.multires) {
        EXPECT_EQ(lines[0].value("multires", false), true) << c.what << " form " << form;
      } else {
        EXPECT_FALSE(lines[0].contains("multires")) << c.what << " form " << form;
      }
      EXPECT_EQ(lines[0]["state"], form == 0 ? "local" : form == 1 ? "cloud" : "unknown") << c.what;
    }
  }
}

TEST_F(ScanWorkerTest, DatesAndNames) {
  struct Case {
    const char* what;
    std::optional<double> created, modified;
    std::vector<photolibrary::AssetResource> resources;
    std::int64_t createdMs, modMs;
    std::string name;
  } cases[] = {
      {"1.5 s", 0.5, 1.5, {{1, "x.jpg"}, {4, "x.dng"}}, 500, 1500, "x.jpg"},
      {"truncation toward zero", -0.0015, -0.0015, {{1, "y.jpg"}}, -1, -1, "y.jpg"},
      {"no modification date", 1700000000.123456, std::nullopt, {{1, "z.jpg"}}, 1700000000123, 1700000000123,
       "z.jpg"},
      {"no dates, no resources", std::nullopt, std::nullopt, {}, 0, 0, ""},
      {"date beyond the 64-bit range", 1e300, std::nullopt, {{1, "f.jpg"}}, 0, 0, "f.jpg"},
      {"name not UTF-8", 1.0, 1.0, {{1, "caf\xE9.jpg"}}, 1000, 1000, "caf\xEF\xBF\xBD.jpg"},
  };
  for (const auto& c : cases) {
    WorkerHarness h;
    auto entry = imageEntry("id", 0, {});
    entry.asset.creationDate = c.created;
    entry.asset.modificationDate = c.modified;
    entry.resources = c.resources;
    entry.response.info = infoWith(true, false, false);  // the cloud form carries every date and the name
    std::vector<Json> lines = h.scan(entry);
    ASSERT_EQ(lines.size(), 1u) << c.what;
    EXPECT_EQ(lines[0]["created"], c.createdMs) << c.what;
    EXPECT_EQ(lines[0]["mod"], c.modMs) << c.what;
    EXPECT_EQ(lines[0]["name"], c.name) << c.what;
  }
}

TEST_F(ScanWorkerTest, ProgressEveryTenAndAtTheEnd) {
  WorkerHarness h(false, "", 25);
  std::vector<photolibrary::Asset> assets;
  for (int k = 0; k < 25; ++k) {
    auto entry = imageEntry("a" + std::to_string(k), 100.0 - k, {});
    h.library().add(entry);
    assets.push_back(entry.asset);
  }
  for (int k = 0; k < 25; ++k) h.scanAsset(assets[k], k);
  std::vector<Json> lines = h.lines();
  std::vector<std::int64_t> progress;
  int records = 0;
  for (const auto& l : lines) {
    if (l.contains("progress")) {
      progress.push_back(l["progress"]);
      EXPECT_EQ(l["of"], 25);
    } else {
      EXPECT_EQ(l["i"], records);  // one after another, in order
      ++records;
    }
  }
  EXPECT_EQ(records, 25);
  EXPECT_EQ(progress, (std::vector<std::int64_t>{10, 20, 25}));
  // Positions: the progress line for 10 follows the tenth record.
  EXPECT_TRUE(lines[10].contains("progress"));
}

TEST_F(ScanWorkerTest, NetworkAccessAndHeartbeatOnlyWithCloudFetch) {
  for (bool allowCloud : {false, true}) {
    WorkerHarness h(allowCloud);
    auto entry = imageEntry("a.jpg", 1.0, {});
    entry.response.info = infoWith(true, false, false);
    entry.response.progressCalls = 3;
    h.clock().advance(timing::Seconds(6.0));  // past the heartbeat interval
    std::vector<Json> lines = h.scan(entry);
    EXPECT_EQ(h.library().lastNetworkAccess("a.jpg"), allowCloud);
    int heartbeats = 0;
    for (const auto& l : lines)
      if (l.contains("progress") && l["progress"] == 0) ++heartbeats;
    // Three progress calls within one interval give one heartbeat line.
    EXPECT_EQ(heartbeats, allowCloud ? 1 : 0) << allowCloud;
  }
}

TEST(ScanOutputTest, HeartbeatIsRateLimited) {
  timing::FakeClock clock;
  CapturedOutput out;
  ScanOutput output(out.file(), clock, 40, timing::Seconds(5.0));
  auto tick = [&](double afterSeconds) {
    clock.advance(timing::Seconds(afterSeconds));
    output.heartbeatTick();
    return out.lines().size();
  };
  EXPECT_EQ(tick(4.9), 0u);  // 4.9 s after set-up: nothing
  EXPECT_EQ(tick(0.1), 1u);  // 5.0 s: a line
  output.finishOne();
  output.finishOne();
  EXPECT_EQ(tick(1.0), 1u);  // 1 s later: nothing
  EXPECT_EQ(tick(4.5), 2u);  // 5.5 s after the last one: a line with the current count
  std::vector<Json> lines = out.lines();
  EXPECT_EQ(lines[0], (Json{{"progress", 0}, {"of", 40}}));
  EXPECT_EQ(lines[1], (Json{{"progress", 2}, {"of", 40}}));
}

TEST(ScanOutputTest, NothingIsWrittenAfterClosing) {
  timing::FakeClock clock;
  CapturedOutput out;
  ScanOutput output(out.file(), clock, 10, timing::Seconds(1.0));
  for (int k = 0; k < 9; ++k) output.finishOne();
  EXPECT_EQ(output.closeAndCount(), 9);
  output.emitLocked({{"i", 9}});
  output.finishOne();  // would be the progress line for 10
  clock.advance(timing::Seconds(2.0));
  output.heartbeatTick();
  output.emitClosing({{"progress", 9}, {"of", 10}});
  EXPECT_EQ(out.text(), "{\"of\":10,\"progress\":9}\n");
}

}  // namespace
}  // namespace albumsweep
