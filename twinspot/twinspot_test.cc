#include "twinspot/twinspot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "imaging/imaging.h"
#include "testsupport/images.h"
#include "testsupport/open_watch.h"
#include "testsupport/subprocess.h"

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
  return testsupport::parseJsonLines(text);
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
  EXPECT_EQ(modeFrom({"hashthumb"}), Mode::kHashThumb);
  EXPECT_EQ(modeFrom({"HashThumb"}), Mode::kHash);
}

class TwinspotRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    ASSERT_TRUE(
        testsupport::writeImage(photo(), testsupport::Picture{.width = 400, .height = 300, .orientation = 6}));
    ASSERT_TRUE(testsupport::writeImage(small(), testsupport::Picture{.width = 40, .height = 30}));
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

TEST(TwinspotMode, SizeIsTakenOnlyInRange) {
  EXPECT_EQ(thumbSizeFrom({"thumb"}), 256);
  EXPECT_EQ(thumbSizeFrom({"thumb", "--size", "1600"}), 1600);
  EXPECT_EQ(thumbSizeFrom({"thumb", "--size", "1601"}), 256);
  EXPECT_EQ(thumbSizeFrom({"thumb", "--size", "0"}), 256);
  EXPECT_EQ(thumbSizeFrom({"thumb", "--size", "-5"}), 256);
  EXPECT_EQ(thumbSizeFrom({"thumb", "--size"}), 256);
  EXPECT_EQ(thumbSizeFrom({"--size", "800"}), 256);  // the mode's place
}

// A larger preview on request; without --size the bytes are those of the
// plain thumb mode, so existing hosts see no change.
TEST_F(TwinspotRun, SizeBoundsTheLongerSideAndItsAbsenceChangesNothing) {
  ASSERT_TRUE(testsupport::writeImage(dir.path() + "/big.jpg", testsupport::Picture{.width = 2000, .height = 1000}));
  std::string plain, ignored;
  runCommand({"thumb"}, dir.path() + "/big.jpg", &plain);
  runCommand({"thumb", "--size", "99999"}, dir.path() + "/big.jpg", &ignored);
  EXPECT_EQ(plain, ignored);
  auto records = runCommand({"thumb", "--size", "1600"}, dir.path() + "/big.jpg\0"s + small());
  ASSERT_EQ(records.size(), 2u);
  const std::pair<int, int> want[] = {{1600, 800}, {40, 30}};
  for (int i = 0; i < 2; ++i) {
    auto bytes = testsupport::base64Decode(records[i]["b64"].get<std::string>());
    ASSERT_TRUE(bytes);
    auto jpeg = testsupport::decodeImage(*bytes);
    ASSERT_TRUE(jpeg);
    EXPECT_EQ(std::pair(jpeg->width, jpeg->height), want[i]);
  }
}

TEST_F(TwinspotRun, FailuresAreRecordedAndTheRunGoesOn) {
  ASSERT_TRUE(testsupport::writeBytes(dir.path() + "/text.jpg", std::string("not a picture")));
  auto jpeg = testsupport::encodeImage(
      testsupport::Picture{.width = 300, .height = 200, .pattern = testsupport::Pattern::kPhoto}, ".jpg");
  ASSERT_TRUE(jpeg);
  jpeg->resize(jpeg->size() / 2);
  ASSERT_TRUE(testsupport::writeBytes(dir.path() + "/cut.jpg", *jpeg));
  for (const char* mode : {"hash", "thumb", "hashthumb"}) {
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

// The combined mode answers, for every file, the preview and size the thumb
// and hash modes give and the hash of the 256-pixel thumbnail (the hash a
// scan records for the file), in every format (each decodes differently)
// and on the real photos; a file either mode fails fails the same way.
TEST_F(TwinspotRun, HashThumbGivesThePreviewAndTheScansHash) {
  using testsupport::Colour;
  using testsupport::Pattern;
  using testsupport::Picture;
  const std::pair<const char*, Picture> made[] = {
      {"big.jpg", Picture{.width = 1800, .height = 1200, .pattern = Pattern::kPhoto, .orientation = 8}},
      {"big.png", Picture{.width = 1000, .height = 700, .pattern = Pattern::kPhoto, .alpha = true}},
      {"grey16.png", Picture{.width = 300, .height = 500, .colour = Colour::kGrey, .sixteenBit = true}},
      {"palette.png", Picture{.width = 600, .height = 300, .palette = true}},
      {"anim.gif", Picture{.width = 320, .height = 240, .pages = 2}},
      {"cmyk.tif", Picture{.width = 700, .height = 500, .colour = Colour::kCmyk}},
      {"turned.heic", Picture{.width = 640, .height = 480, .pattern = Pattern::kPhoto, .orientation = 6}},
      {"photo.webp", Picture{.width = 900, .height = 600, .pattern = Pattern::kPhoto}},
  };
  std::string input = photo() + "\0"s + small() + "\0"s + dir.path() + "/missing.png\0"s;
  for (const auto& [name, picture] : made) {
    ASSERT_TRUE(testsupport::writeImage(dir.path() + "/" + name, picture)) << name;
    input += dir.path() + "/" + name + "\0"s;
  }
  // The real photos: every camera JPEG and phone HEIF of the corpus (JPEG
  // is where the combined mode decodes twice, each at its own scale).
  const std::string corpus = CORPUS_DIR;
  int real = 0;
  for (const char* sub : {"cameras", "heif"}) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(corpus + "/" + sub, ec))
      input += e.path().string() + "\0"s, ++real;
  }
  for (const char* name : {"orientation/Portrait_6.jpg", "damaged/corrupted.jpg"})
    if (std::ifstream(corpus + "/" + name)) input += corpus + "/" + name + "\0"s, ++real;
  if (real == 0) std::printf("no photo corpus at %s: generated pictures only\n", corpus.c_str());

  auto hashes = runCommand({"hash"}, input), thumbs = runCommand({"thumb"}, input);
  auto both = runCommand({"hashthumb"}, input);
  ASSERT_EQ(both.size(), hashes.size());
  ASSERT_EQ(both.size(), thumbs.size());
  int whole = 0;
  std::vector<std::string> paths;
  for (std::size_t at = 0, end; (end = input.find('\0', at)) != std::string::npos; at = end + 1)
    paths.push_back(input.substr(at, end - at));
  ASSERT_EQ(paths.size(), both.size());
  for (size_t i = 0; i < both.size(); ++i) {
    SCOPED_TRACE(paths[i]);
    nlohmann::json want = hashes[i]["ok"] == true ? thumbs[i] : hashes[i];
    if (hashes[i]["ok"] == true && thumbs[i]["ok"] == true) {
      want.update(hashes[i]);
      auto bytes = imaging::readRegularFile(paths[i]);
      ASSERT_TRUE(bytes);
      auto thumb = imaging::thumbFrom(*bytes, 256);
      ASSERT_TRUE(thumb);
      want["hash"] = imaging::hashText(imaging::dhash(thumb->image).value());
      ++whole;
    }
    EXPECT_EQ(both[i], want);
  }
  EXPECT_GE(whole, 2 + int(std::size(made)) + std::max(0, real - 1));  // all but the damaged photo
}

// Output that cannot be written stops the run at the first failed line:
// no further file is even opened.
TEST_F(TwinspotRun, StopsAtTheFirstLineThatCannotBeWritten) {
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  std::setvbuf(full, nullptr, _IOLBF, 0);  // as standard output is
  testsupport::OpenWatch watch(dir.path(), IN_OPEN);
  ASSERT_TRUE(watch.ready());
  EXPECT_EQ(run({}, photo() + "\0"s + small() + "\0"s, full), 1);
  std::fclose(full);
  EXPECT_EQ(watch.filesTouched(), std::set<std::string>{"photo.jpg"});
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
