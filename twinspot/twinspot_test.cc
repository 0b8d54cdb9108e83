#include "twinspot/twinspot.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "testsupport/images.h"

namespace twinspot {
namespace {

using namespace std::string_literals;

// Runs the command in-process and returns its output lines parsed.
std::vector<nlohmann::json> runCommand(const std::vector<std::string>& args, const std::string& input,
                                       std::string* raw = nullptr) {
  char* buf = nullptr;
  size_t len = 0;
  std::FILE* out = open_memstream(&buf, &len);
  EXPECT_EQ(run(args, input, out), 0);
  std::fclose(out);
  std::string text(buf, len);
  std::free(buf);
  if (raw) *raw = text;
  std::vector<nlohmann::json> records;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    EXPECT_NE(end, std::string::npos) << "last line has no line feed";
    if (end == std::string::npos) end = text.size();
    records.push_back(nlohmann::json::parse(text.substr(start, end - start)));
    start = end + 1;
  }
  return records;
}

TEST(TwinspotInput, SplitsAtZeroBytesDroppingEmptyAndInvalidPieces) {
  struct Case {
    const char* name;
    std::string input;
    std::vector<std::string> paths;
  };
  const Case cases[] = {
      {"empty", "", {}},
      {"only zeros", "\0\0\0"s, {}},
      {"double zero then single", "a.jpg\0\0b.jpg\0"s, {"a.jpg", "b.jpg"}},
      {"leading zero, no trailing", "\0a\0b"s, {"a", "b"}},
      {"newlines are path characters", "a.jpg\nb.jpg\n", {"a.jpg\nb.jpg\n"}},
      {"spaces kept", " a b \0\t\0"s, {" a b ", "\t"}},
      {"invalid piece takes no index", "x\0\xff\xfe\0y"s, {"x", "y"}},
      {"multibyte kept", "caf\xc3\xa9.jpg\0\xf0\x9f\x93\xb7"s, {"caf\xc3\xa9.jpg", "\xf0\x9f\x93\xb7"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(pathsFrom(c.input), c.paths);
  }
}

TEST(TwinspotInput, Utf8Validation) {
  for (const std::string& good : {""s, "ascii"s, "\xc2\x80"s, "\xe2\x82\xac"s, "\xed\x9f\xbf"s, "\xf4\x8f\xbf\xbf"s})
    EXPECT_TRUE(isValidUtf8(good)) << good;
  const std::string bad[] = {
      "\x80"s,              // lone continuation
      "\xc0\xaf"s,          // overlong '/'
      "\xe0\x80\xaf"s,      // overlong, 3 bytes
      "\xf0\x80\x80\xaf"s,  // overlong, 4 bytes
      "\xed\xa0\x80"s,      // surrogate
      "\xf4\x90\x80\x80"s,  // above U+10FFFF
      "\xe2\x82"s,          // cut short
      "\xe2\x28\xa1"s,      // bad continuation
      "\xff"s,
  };
  for (const std::string& b : bad) EXPECT_FALSE(isValidUtf8(b));
}

TEST(TwinspotMode, OnlyExactThumbSelectsThumbnails) {
  EXPECT_EQ(modeFrom({}), Mode::kHash);
  EXPECT_EQ(modeFrom({"hash"}), Mode::kHash);
  EXPECT_EQ(modeFrom({"Thumb"}), Mode::kHash);
  EXPECT_EQ(modeFrom({"THUMB"}), Mode::kHash);
  EXPECT_EQ(modeFrom({"thumb "}), Mode::kHash);
  EXPECT_EQ(modeFrom({"thumb"}), Mode::kThumb);
  EXPECT_EQ(modeFrom({"thumb", "hash"}), Mode::kThumb);
  EXPECT_EQ(modeFrom({"hash", "thumb"}), Mode::kHash);
}

class TwinspotRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    ASSERT_TRUE(
        testsupport::writeImage(photo(), testsupport::ImageSpec{.width = 400, .height = 300, .orientation = 6}));
    ASSERT_TRUE(testsupport::writeImage(small(), testsupport::ImageSpec{.width = 40, .height = 30}));
  }
  std::string photo() const { return dir.path() + "/photo.jpg"; }
  std::string small() const { return dir.path() + "/small.png"; }
  testsupport::TempDir dir;
};

TEST_F(TwinspotRun, HashRecordsInInputOrderWithStoredSize) {
  std::string raw;
  auto records = runCommand({}, photo() + "\0"s + dir.path() + "/missing.jpg\0\0"s + small(), &raw);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0]["i"], 0);
  EXPECT_EQ(records[0]["ok"], true);
  EXPECT_EQ(records[0]["w"], 400);  // stored size, not the upright 300 x 400
  EXPECT_EQ(records[0]["h"], 300);
  ASSERT_TRUE(records[0]["hash"].is_string());
  EXPECT_EQ(records[0]["hash"].get<std::string>().size(), 16u);
  EXPECT_EQ(records[0]["hash"].get<std::string>().find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(records[0].size(), 5u);

  EXPECT_EQ(records[1], (nlohmann::json{{"i", 1}, {"ok", false}, {"err", "open_failed"}}));

  EXPECT_EQ(records[2]["i"], 2);
  EXPECT_EQ(records[2]["w"], 40);
  EXPECT_EQ(records[2]["h"], 30);
  // Compact lines: no spaces between tokens.
  EXPECT_EQ(raw.find(' '), std::string::npos);
}

TEST_F(TwinspotRun, ThumbRecordsHoldUprightJpegs) {
  auto records = runCommand({"thumb"}, photo() + "\0"s + small() + "\0"s);
  ASSERT_EQ(records.size(), 2u);
  struct Want {
    int w, h;
  } want[] = {{192, 256}, {40, 30}};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(records[i]["i"], i);
    EXPECT_EQ(records[i]["ok"], true);
    EXPECT_EQ(records[i].size(), 3u);
    auto bytes = testsupport::base64Decode(records[i]["b64"].get<std::string>());
    ASSERT_TRUE(bytes);
    auto jpeg = testsupport::decodeImage(*bytes);
    ASSERT_TRUE(jpeg);
    EXPECT_EQ(jpeg->loader, "jpegload_buffer");
    EXPECT_EQ(jpeg->width, want[i].w);
    EXPECT_EQ(jpeg->height, want[i].h);
  }
}

TEST_F(TwinspotRun, FailuresAreRecordedAndTheRunGoesOn) {
  ASSERT_TRUE(testsupport::writeBytes(dir.path() + "/text.jpg", std::string("not a picture")));
  auto jpeg = testsupport::encodeImage(
      testsupport::ImageSpec{.width = 300, .height = 200, .pattern = testsupport::Pattern::kPhoto}, ".jpg");
  ASSERT_TRUE(jpeg);
  jpeg->resize(jpeg->size() / 2);
  ASSERT_TRUE(testsupport::writeBytes(dir.path() + "/cut.jpg", *jpeg));
  for (const char* mode : {"hash", "thumb"}) {
    SCOPED_TRACE(mode);
    auto records =
        runCommand({mode}, dir.path() + "/text.jpg\0"s + dir.path() + "\0"s + dir.path() + "/cut.jpg\0"s + small());
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0]["err"], "open_failed");
    EXPECT_EQ(records[1]["err"], "open_failed");  // a directory
    EXPECT_EQ(records[2]["err"], "decode_failed");
    EXPECT_EQ(records[3]["ok"], true);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(records[i]["i"], i);
  }
}

TEST_F(TwinspotRun, EmptyInputWritesNothing) {
  std::string raw = "unset";
  EXPECT_TRUE(runCommand({"thumb"}, "", &raw).empty());
  EXPECT_EQ(raw, "");
  EXPECT_TRUE(runCommand({}, "\0\0"s, &raw).empty());
  EXPECT_EQ(raw, "");
}

}  // namespace
}  // namespace twinspot
