// Runs the built twinspot binary the way the host does: paths on standard
// input, JSON lines read back from standard output.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <bit>
#include <filesystem>

#include "testsupport/images.h"
#include "testsupport/subprocess.h"

namespace {

using namespace std::string_literals;
using testsupport::Picture;
using testsupport::zeroJoined;

const std::string kCorpus = CORPUS_DIR;

struct Output {
  std::vector<nlohmann::json> records;
  testsupport::ProcessResult process;
};

// Runs twinspot and checks what holds for every run: exit status 0,
// nothing on standard error, every line a complete JSON object.
Output twinspot(const std::vector<std::string>& args, const std::string& input, const std::string& cwd = "") {
  std::vector<std::string> argv{TWINSPOT_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  testsupport::RunOptions options;
  options.stdinData = input;
  options.workingDirectory = cwd;
  options.timeout = std::chrono::seconds(120);
  Output out;
  out.process = testsupport::runProcess(argv, options);
  EXPECT_FALSE(out.process.timedOut);
  EXPECT_EQ(out.process.exitStatus, 0);
  EXPECT_EQ(out.process.err, "");
  EXPECT_TRUE(out.process.out.empty() || out.process.out.back() == '\n');
  out.records = testsupport::parseJsonLines(out.process.out);
  return out;
}

std::pair<int, int> jpegSize(const nlohmann::json& record) { return testsupport::base64JpegSize(record.value("b64", "")); }

int bitsApart(const std::string& a, const std::string& b) {
  return std::popcount(std::stoull(a, nullptr, 16) ^ std::stoull(b, nullptr, 16));
}

class CorpusRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::is_directory(kCorpus)) GTEST_SKIP() << "corpus not found at " << kCorpus;
  }
};

TEST_F(CorpusRun, OrientationFilesAgreeInBothModes) {
  std::vector<std::string> paths;
  for (const char* kind : {"Landscape", "Portrait"})
    for (int o = 0; o <= 8; ++o) paths.push_back(kCorpus + "/orientation/" + kind + "_" + std::to_string(o) + ".jpg");

  Output hashes = twinspot({}, zeroJoined(paths));
  ASSERT_EQ(hashes.records.size(), 18u);
  Output thumbs = twinspot({"thumb"}, zeroJoined(paths));
  ASSERT_EQ(thumbs.records.size(), 18u);
  for (size_t i = 0; i < 18; ++i) {
    SCOPED_TRACE(paths[i]);
    const bool landscape = i < 9;
    const int o = static_cast<int>(i % 9);
    const nlohmann::json& h = hashes.records[i];
    EXPECT_EQ(h["i"], i);
    ASSERT_EQ(h["ok"], true);
    // Stored size, as the file holds it before the tag is applied.
    const bool storedWide = landscape == (o <= 4);
    EXPECT_EQ(h["w"], storedWide ? 1800 : 1200);
    EXPECT_EQ(h["h"], storedWide ? 1200 : 1800);
    const size_t first = landscape ? 0 : 9;
    EXPECT_LE(bitsApart(h["hash"], hashes.records[first]["hash"]), 4) << h["hash"];

    EXPECT_EQ(thumbs.records[i]["i"], i);
    ASSERT_EQ(thumbs.records[i]["ok"], true);
    EXPECT_EQ(jpegSize(thumbs.records[i]), landscape ? std::pair(256, 171) : std::pair(171, 256));
  }
}

TEST_F(CorpusRun, IphoneHeicIsPortraitWithItsStoredSize) {
  const std::string heic = kCorpus + "/heif/iphone_13_pro_max.HEIC";
  Output hash = twinspot({"hash"}, heic);
  ASSERT_EQ(hash.records.size(), 1u);
  EXPECT_EQ(hash.records[0]["ok"], true);
  EXPECT_EQ(hash.records[0]["w"], 4032);
  EXPECT_EQ(hash.records[0]["h"], 3024);
  Output thumb = twinspot({"thumb"}, heic);
  ASSERT_EQ(thumb.records.size(), 1u);
  EXPECT_EQ(jpegSize(thumb.records[0]), std::pair(192, 256));
}

TEST_F(CorpusRun, DamagedFilesGetRecordsAndTheRunGoesOn) {
  const std::string ok = kCorpus + "/orientation/Landscape_1.jpg";
  Output out =
      twinspot({}, zeroJoined({kCorpus + "/damaged/corrupted.jpg", kCorpus + "/damaged/truncated_IMG_5195.HEIC", ok}));
  ASSERT_EQ(out.records.size(), 3u);
  EXPECT_EQ(out.records[0], (nlohmann::json{{"i", 0}, {"ok", false}, {"err", "decode_failed"}}));
  EXPECT_EQ(out.records[1]["i"], 1);  // libheif decodes what the file holds
  EXPECT_EQ(out.records[2]["i"], 2);
  EXPECT_EQ(out.records[2]["ok"], true);
}

TEST(TwinspotRun, HostileFilesEachGetTheirRecord) {
  testsupport::TempDir dir;
  const std::string d = dir.path();
  ASSERT_TRUE(testsupport::writeBytes(d + "/text.jpg", "just some text\n"s));
  ASSERT_TRUE(testsupport::writeBytes(d + "/bmw.bmp", "BMW is a car, and this is a text about it\n"s));
  ASSERT_TRUE(testsupport::writeBytes(d + "/empty.jpg", ""s));
  ASSERT_TRUE(testsupport::writeBytes(d + "/bomb.png", testsupport::pngDeclaring(100000, 100000)));
  ASSERT_EQ(mkfifo((d + "/fifo.jpg").c_str(), 0600), 0);
  std::filesystem::create_directory(d + "/dir.jpg");
  ASSERT_TRUE(testsupport::writeImage(d + "/cmyk.jpg", Picture{.colour = testsupport::Colour::kCmyk}));
  ASSERT_TRUE(testsupport::writeImage(d + "/deep.tif", Picture{.sixteenBit = true}));
  ASSERT_TRUE(testsupport::writeImage(d + "/anim.gif", Picture{.pages = 4}));
  ASSERT_TRUE(testsupport::writeImage(d + "/anim.webp", Picture{.pages = 4}));
  ASSERT_TRUE(testsupport::writeImage(d + "/grey.png", Picture{.colour = testsupport::Colour::kGrey, .alpha = true}));
  struct Want {
    const char* name;
    const char* err;  // nullptr: success
  };
  const Want want[] = {
      {"text.jpg", "open_failed"}, {"empty.jpg", "open_failed"},  {"fifo.jpg", "open_failed"},
      {"dir.jpg", "open_failed"},  {"bomb.png", "decode_failed"}, {"cmyk.jpg", nullptr},
      {"deep.tif", nullptr},       {"anim.gif", nullptr},         {"anim.webp", nullptr},
      {"grey.png", nullptr},       {"bmw.bmp", "open_failed"},
  };
  std::vector<std::string> paths;
  for (const Want& w : want) paths.push_back(d + "/" + w.name);
  for (const char* mode : {"hash", "thumb"}) {
    SCOPED_TRACE(mode);
    Output out = twinspot({mode}, zeroJoined(paths));
    ASSERT_EQ(out.records.size(), std::size(want));
    for (size_t i = 0; i < std::size(want); ++i) {
      SCOPED_TRACE(want[i].name);
      const nlohmann::json& r = out.records[i];
      EXPECT_EQ(r["i"], i);
      if (want[i].err) {
        EXPECT_EQ(r, (nlohmann::json{{"i", i}, {"ok", false}, {"err", want[i].err}}));
      } else if (std::string(mode) == "hash") {
        EXPECT_EQ(r["ok"], true);
        EXPECT_EQ(r["w"], 64);
        EXPECT_EQ(r["h"], 48);  // one frame of an animation
      } else {
        EXPECT_EQ(jpegSize(r), std::pair(64, 48));
      }
    }
  }
}

TEST(TwinspotRun, InputSplittingAndRelativePaths) {
  testsupport::TempDir dir;
  ASSERT_TRUE(testsupport::writeImage(dir.path() + "/a.png", Picture{.width = 40, .height = 30}));
  ASSERT_TRUE(
      testsupport::writeImage(dir.path() + "/b c.jpg", Picture{.width = 400, .height = 300, .orientation = 6}));
  // Two zero bytes after the first path, one after the second, an invalid
  // piece that takes no index, then a relative path with a space.
  Output out = twinspot({"thumb"}, "a.png\0\0"s + dir.path() + "/a.png\0\xc3\x28\0b c.jpg"s, dir.path());
  ASSERT_EQ(out.records.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(out.records[i]["i"], i);
  EXPECT_EQ(jpegSize(out.records[0]), std::pair(40, 30));
  EXPECT_EQ(jpegSize(out.records[1]), std::pair(40, 30));
  EXPECT_EQ(jpegSize(out.records[2]), std::pair(192, 256));

  // Newline-separated paths are one path with newlines in it.
  Output one = twinspot({}, "a.png\nb c.jpg\n", dir.path());
  ASSERT_EQ(one.records.size(), 1u);
  EXPECT_EQ(one.records[0], (nlohmann::json{{"i", 0}, {"ok", false}, {"err", "open_failed"}}));

  // Unknown mode words hash; stored size of the turned photo stays 400 x 300.
  Output hashed = twinspot({"Thumb", "extra"}, "b c.jpg"s, dir.path());
  ASSERT_EQ(hashed.records.size(), 1u);
  EXPECT_EQ(hashed.records[0]["w"], 400);
  EXPECT_EQ(hashed.records[0]["h"], 300);
}

TEST(TwinspotRun, OutputThatCannotBeWrittenEndsWithStatusOne) {
  testsupport::TempDir dir;
  ASSERT_TRUE(testsupport::writeImage(dir.path() + "/a.png", Picture{.width = 40, .height = 30}));
  testsupport::RunOptions options;
  options.stdinData = zeroJoined({"a.png", "a.png"});
  options.workingDirectory = dir.path();
  testsupport::expectUnwritableOutputEndsWithStatusOne({TWINSPOT_BIN}, options);
}

TEST(TwinspotRun, CreatesNoFile) {
  testsupport::TempDir dir;
  ASSERT_TRUE(testsupport::writeImage(dir.path() + "/a.jpg", Picture{.width = 400, .height = 300}));
  testsupport::RunOptions options;
  options.stdinData = zeroJoined({dir.path() + "/a.jpg"});
  testsupport::expectCreatesNoFile({TWINSPOT_BIN, "hash"}, options);
  testsupport::expectCreatesNoFile({TWINSPOT_BIN, "thumb"}, options);
}

TEST(TwinspotRun, EmptyInputGivesNoOutput) {
  for (const std::string& input : {""s, "\0\0\0"s}) {
    Output out = twinspot({}, input);
    EXPECT_EQ(out.process.out, "");
  }
}

}  // namespace
