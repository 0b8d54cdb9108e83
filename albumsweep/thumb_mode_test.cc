// The thumbnail mode in process, against the scripted fake library.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "albumsweep/modes.h"
#include "albumsweep/modes_test_support.h"
#include "albumsweep/scan_test_support.h"
#include "imaging/imaging.h"
#include "testsupport/images.h"
#include "testsupport/subprocess.h"

namespace albumsweep {
namespace {

using nlohmann::json;
using photolibrary::FakePhotoLibrary;
using photolibrary::ImageResultInfo;

struct ThumbRun {
  int status = -1;
  std::vector<json> lines;
};

ThumbRun runThumb(photolibrary::PhotoLibrary& library, const std::string& input) {
  imaging::initImaging();
  testing::CapturedOutput out;
  timing::FakeClock clock;
  Services services;
  services.library = &library;
  services.clock = &clock;
  services.out = out.file();
  services.input = input;
  services.limits.authorization = timing::Seconds(10);
  RunSettings settings;
  settings.mode = "thumb";
  settings.allowCloudFetch = true;  // must make no difference
  ThumbRun run;
  run.status = runThumbMode(settings, services);
  run.lines = out.lines();
  return run;
}

// The size of the JPEG a preview carries.
std::pair<int, int> previewSize(const json& record) { return testsupport::base64JpegSize(record.value("b64", "")); }

std::vector<std::uint8_t> jpegOf(int width, int height, int orientation = 0) {
  testsupport::Picture look;
  look.width = width;
  look.height = height;
  look.orientation = orientation;
  return testsupport::encodeImage(look, ".jpg").value_or(std::vector<std::uint8_t>{});
}

TEST(ThumbModeTest, OneLinePerIdentifierInInputOrder) {
  FakePhotoLibrary library;
  library.add(testing::imageEntry("wide", 1, jpegOf(400, 300)));
  library.add(testing::imageEntry("turned", 2, jpegOf(400, 300, 6)));
  // Pieces between zero bytes; empty pieces and invalid UTF-8 are dropped,
  // a trailing zero ends the last piece.
  std::string input = std::string("\0wide\0\0nobody\0turned\0", 21) + "bad\xff" + std::string("\0wide\0", 6);
  ThumbRun run = runThumb(library, input);

  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.lines.size(), 4u);
  const std::vector<std::string> ids = {"wide", "nobody", "turned", "wide"};
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(run.lines[i]["i"], i);
    EXPECT_EQ(run.lines[i]["id"], ids[i]);
  }
  EXPECT_EQ(run.lines[1], (json{{"i", 1}, {"id", "nobody"}, {"ok", false}, {"err", "not_found"}}));
  for (size_t i : {0u, 2u, 3u}) {
    EXPECT_EQ(run.lines[i]["ok"], true);
    EXPECT_FALSE(run.lines[i].contains("err"));
  }
  EXPECT_EQ(previewSize(run.lines[0]), std::make_pair(256, 192));
  EXPECT_EQ(previewSize(run.lines[2]), std::make_pair(192, 256));
  EXPECT_EQ(run.lines[3]["b64"], run.lines[0]["b64"]);

  EXPECT_EQ(library.identifierFetches(), 1);
  EXPECT_EQ(library.requestCount("wide"), 2);  // each occurrence has its own request
  EXPECT_EQ(library.requestCount("nobody"), 0);
  EXPECT_EQ(library.lastNetworkAccess("wide"), false);
  EXPECT_EQ(library.lastNetworkAccess("turned"), false);
}

TEST(ThumbModeTest, EachResultMapsToItsCodeInOrder) {
  const std::vector<std::uint8_t> good = jpegOf(64, 48);
  const std::vector<std::uint8_t> text = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'};
  const std::vector<std::uint8_t> nothing;
  const testing::ScriptedResult cases[] = {
      {"cloud", &good, testing::resultInfo(true, false, false, false), "in_cloud"},
      {"cloud-and-error", &good, testing::resultInfo(true, true, true, true), "in_cloud"},
      {"cancelled", &good, testing::resultInfo(false, true, true, true), "canceled"},
      {"degraded", &good, testing::resultInfo(false, false, true, true), "degraded_only"},
      {"error-with-data", &good, testing::resultInfo(false, false, false, true), "read_failed"},
      {"no-data", nullptr, testing::resultInfo(false, false, false, false), "no_data"},
      {"empty-data", &nothing, std::nullopt, "no_data"},
      {"not-an-image", &text, testing::resultInfo(false, false, false, false), "decode_failed"},
      {"no-info", &good, std::nullopt, ""},
      {"silent", &good, testing::resultInfo(false, false, false, false), "no_result", /*callsHandler=*/false},
  };
  FakePhotoLibrary library;
  std::vector<std::string> ids;
  for (const testing::ScriptedResult& c : cases) {
    library.add(testing::scriptedEntry(c));
    ids.push_back(c.id);
  }
  ThumbRun run = runThumb(library, testsupport::zeroJoined(ids));
  ASSERT_EQ(run.lines.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].id);
    EXPECT_EQ(run.lines[i]["i"], i);
    if (cases[i].expected.empty()) {
      EXPECT_EQ(run.lines[i]["ok"], true);
      EXPECT_EQ(previewSize(run.lines[i]), std::make_pair(64, 48));
    } else {
      EXPECT_EQ(run.lines[i]["ok"], false);
      EXPECT_EQ(run.lines[i]["err"], cases[i].expected);
      EXPECT_FALSE(run.lines[i].contains("b64"));
    }
  }
}

TEST(ThumbModeTest, NoIdentifiersMeansNoOutput) {
  for (const std::string& input : {std::string(), std::string(3, '\0'), std::string("\xc0\xaf", 2)}) {
    FakePhotoLibrary library;
    ThumbRun run = runThumb(library, input);
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.lines.empty());
    EXPECT_EQ(library.authorizationRequests(), 1);
  }
}

TEST(ThumbModeTest, NewlinesAreNoSeparators) {
  FakePhotoLibrary library;
  library.add(testing::imageEntry("a", 1, jpegOf(32, 32)));
  ThumbRun run = runThumb(library, "a\na\n");
  ASSERT_EQ(run.lines.size(), 1u);
  EXPECT_EQ(run.lines[0], (json{{"i", 0}, {"id", "a\na\n"}, {"ok", false}, {"err", "not_found"}}));
}

TEST(ThumbModeTest, RefusedAccessWritesOnlyTheAuthLine) {
  FakePhotoLibrary library;
  library.add(testing::imageEntry("a", 1, jpegOf(32, 32)));
  library.setAuthorization({photolibrary::AuthorizationStatus::kDenied, true});
  ThumbRun run = runThumb(library, testsupport::zeroJoined({"a"}));
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.lines.size(), 1u);
  EXPECT_EQ(run.lines[0], (json{{"auth", "denied"}}));
  EXPECT_EQ(library.identifierFetches(), 0);
  EXPECT_EQ(library.requestCount("a"), 0);
}

}  // namespace
}  // namespace albumsweep
