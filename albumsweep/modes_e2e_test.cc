// The thumbnail and verification modes end to end: the albumsweep binary
// run the way the host runs it, against folder libraries and image files
// made here.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/images.h"
#include "testsupport/open_watch.h"
#include "testsupport/subprocess.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

struct Outcome {
  testsupport::ProcessResult result;
  std::vector<json> lines;
};

Outcome albumsweep(const std::vector<std::string>& args, const std::string& input) {
  std::vector<std::string> argv = {ALBUMSWEEP_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  testsupport::RunOptions options;
  options.stdinData = input;
  options.timeout = std::chrono::seconds(60);
  Outcome run;
  run.result = testsupport::runProcess(argv, options);
  EXPECT_FALSE(run.result.timedOut);
  EXPECT_EQ(run.result.err, "");  // nothing ever goes to standard error
  EXPECT_TRUE(run.result.out.empty() || run.result.out.back() == '\n');
  run.lines = testsupport::parseJsonLines(run.result.out);
  return run;
}

std::pair<int, int> previewSize(const json& record) { return testsupport::base64JpegSize(record.value("b64", "")); }

json failure(const json& id, const std::string& code) { return {{"id", id}, {"ok", false}, {"err", code}}; }

class ModesEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    lib = dir.path() + "/library";
    outside = dir.path() + "/outside";
    fs::create_directories(lib + "/trip");
    fs::create_directories(outside);
    testsupport::Picture wide;
    wide.width = 400;
    wide.height = 300;
    ASSERT_TRUE(testsupport::writeImage(lib + "/wide.jpg", wide));
    // Stored 400 x 300 with a quarter turn: shows upright at 300 x 400.
    testsupport::Picture turned = wide;
    turned.orientation = 6;
    ASSERT_TRUE(testsupport::writeImage(lib + "/trip/turned.jpg", turned));
    // Stored 300 x 400 with a quarter turn: shows the wide picture.
    testsupport::Picture sideways = turned;
    sideways.width = 300;
    sideways.height = 400;
    ASSERT_TRUE(testsupport::writeImage(lib + "/trip/sideways.jpg", sideways));
    testsupport::Picture small = wide;
    small.width = 100;
    small.height = 75;
    ASSERT_TRUE(testsupport::writeImage(lib + "/trip/small copy.png", small));
    testsupport::Picture other;
    other.width = 400;
    other.height = 300;
    other.pattern = testsupport::Pattern::kStripes;
    ASSERT_TRUE(testsupport::writeImage(lib + "/stripes.jpg", other));
    ASSERT_TRUE(testsupport::writeBytes(lib + "/broken.jpg", std::string("\xff\xd8\xff not really")));
    ASSERT_TRUE(testsupport::writeBytes(lib + "/notes.txt", std::string("a note")));
    // Things outside the library that an identifier might try to reach.
    ASSERT_TRUE(testsupport::writeImage(outside + "/secret.jpg", wide));
    ASSERT_EQ(mkfifo((outside + "/pipe.jpg").c_str(), 0600), 0);
    fs::create_symlink(outside + "/secret.jpg", lib + "/link.jpg");
    fs::create_symlink(outside + "/pipe.jpg", lib + "/pipelink.jpg");
    fs::create_directory_symlink(outside, lib + "/away");
    ASSERT_EQ(mkfifo((lib + "/fifo.jpg").c_str(), 0600), 0);
  }

  testsupport::TempDir dir;
  std::string lib, outside;
};

TEST_F(ModesEndToEnd, ThumbnailsInInputOrderWithUnknownsBetween) {
  Outcome run = albumsweep({"thumb", "--library", lib, "--allow-cloud"},
                       testsupport::zeroJoined({"wide.jpg", "nope.jpg", "trip/turned.jpg", "wide.jpg", "broken.jpg",
                                                "notes.txt", "trip/small copy.png"}));
  EXPECT_EQ(run.result.exitStatus, 0);
  ASSERT_EQ(run.lines.size(), 7u);
  for (size_t i = 0; i < run.lines.size(); ++i) EXPECT_EQ(run.lines[i]["i"], i);
  EXPECT_EQ(previewSize(run.lines[0]), std::make_pair(256, 192));
  EXPECT_EQ(run.lines[1], (json{{"i", 1}, {"id", "nope.jpg"}, {"ok", false}, {"err", "not_found"}}));
  EXPECT_EQ(previewSize(run.lines[2]), std::make_pair(192, 256));
  EXPECT_EQ(run.lines[3]["b64"], run.lines[0]["b64"]);
  EXPECT_EQ(run.lines[4]["err"], "decode_failed");
  EXPECT_EQ(run.lines[5]["err"], "not_found");  // not an asset
  EXPECT_EQ(previewSize(run.lines[6]), std::make_pair(100, 75));
  EXPECT_EQ(run.lines[6]["id"], "trip/small copy.png");
}

TEST_F(ModesEndToEnd, ThumbWithoutIdentifiersWritesNothing) {
  for (const std::string& input : {std::string(), std::string(2, '\0')}) {
    Outcome run = albumsweep({"thumb", "--library", lib}, input);
    EXPECT_EQ(run.result.exitStatus, 0);
    EXPECT_EQ(run.result.out, "");
  }
}

TEST_F(ModesEndToEnd, IdentifiersCannotReachOutsideTheLibrary) {
  testsupport::OpenWatch watch(outside);
  ASSERT_TRUE(watch.ready());
  const std::vector<std::string> attempts = {
      outside + "/secret.jpg", lib + "/wide.jpg", "../outside/secret.jpg", "trip/../../outside/secret.jpg",
      "link.jpg", "pipelink.jpg", "away/secret.jpg", "fifo.jpg", "./wide.jpg", "trip//turned.jpg",
      "trip/../wide.jpg", "/etc/passwd", "wide.jpg/"};
  Outcome run = albumsweep({"thumb", "--library", lib}, testsupport::zeroJoined(attempts));
  EXPECT_EQ(run.result.exitStatus, 0);
  ASSERT_EQ(run.lines.size(), attempts.size());
  for (size_t i = 0; i < attempts.size(); ++i)
    EXPECT_EQ(run.lines[i], (json{{"i", i}, {"id", attempts[i]}, {"ok", false}, {"err", "not_found"}}));
  EXPECT_EQ(watch.touched(), std::vector<std::string>{});
  // The watch does see a read of the outside file.
  EXPECT_TRUE(std::ifstream(outside + "/secret.jpg").get() != EOF);
  EXPECT_FALSE(watch.touched().empty());
}

TEST_F(ModesEndToEnd, VerifiesLibraryGroupsAsAStar) {
  json doc = {{"groups",
               {{"wide.jpg", "trip/small copy.png", "stripes.jpg", "nope.jpg"},
                {"nope.jpg", "wide.jpg"},
                {"broken.jpg", "wide.jpg"},
                {"wide.jpg", "trip/sideways.jpg", "broken.jpg", "link.jpg"}}}};
  Outcome run = albumsweep({"simverify", "--library", lib}, doc.dump());
  EXPECT_EQ(run.result.exitStatus, 0);
  ASSERT_EQ(run.lines.size(), 6u) << run.result.out;
  EXPECT_EQ(run.lines[0]["a"], "wide.jpg");
  EXPECT_EQ(run.lines[0]["b"], "trip/small copy.png");
  EXPECT_EQ(run.lines[1]["b"], "stripes.jpg");
  EXPECT_LT(run.lines[0]["dist"].get<double>(), run.lines[1]["dist"].get<double>());
  EXPECT_EQ(run.lines[2], failure("nope.jpg", "not_found"));
  EXPECT_EQ(run.lines[3], failure("broken.jpg", "featureprint_failed"));
  EXPECT_EQ(run.lines[4]["b"], "trip/sideways.jpg");
  EXPECT_LT(run.lines[4]["dist"].get<double>(), 0.1);  // the same picture, stored turned
  EXPECT_EQ(run.lines[5], failure("link.jpg", "not_found"));
}

TEST_F(ModesEndToEnd, VerifiesFilesWithoutTheLibrary) {
  const std::string empty = dir.path() + "/empty.jpg";
  ASSERT_TRUE(testsupport::writeBytes(empty, std::string()));
  json doc = {{"groups", json::array({json::array({lib + "/wide.jpg", lib + "/trip/small copy.png", empty, lib + "/fifo.jpg"})})}};
  // The library folder does not exist: asking for access would end the run.
  Outcome run = albumsweep({"simverify", "--library", dir.path() + "/no-such-folder", "--files"}, doc.dump());
  EXPECT_EQ(run.result.exitStatus, 0);
  ASSERT_EQ(run.lines.size(), 3u) << run.result.out;
  EXPECT_EQ(run.lines[0]["b"], lib + "/trip/small copy.png");
  EXPECT_EQ(run.lines[1], failure(empty, "read_failed"));
  EXPECT_EQ(run.lines[2], failure(lib + "/fifo.jpg", "read_failed"));

  Outcome refused = albumsweep({"simverify", "--library", dir.path() + "/no-such-folder"}, doc.dump());
  EXPECT_EQ(refused.lines, (std::vector<json>{{{"auth", "not-determined"}}}));
}

TEST_F(ModesEndToEnd, OutputThatCannotBeWrittenEndsWithStatusOne) {
  testsupport::RunOptions thumb;
  thumb.stdinData = testsupport::zeroJoined({"wide.jpg", "stripes.jpg"});
  testsupport::expectUnwritableOutputEndsWithStatusOne({ALBUMSWEEP_BIN, "thumb", "--library", lib}, thumb);
  testsupport::RunOptions verify;
  // (Two strings in braces would make an object, not a group.)
  verify.stdinData = json{{"groups", json::array({json::array({lib + "/wide.jpg", lib + "/stripes.jpg"})})}}.dump();
  testsupport::expectUnwritableOutputEndsWithStatusOne({ALBUMSWEEP_BIN, "simverify", "--files"}, verify);
  // An unusable document keeps its status 2 even when the "fatal" line
  // cannot be written.
  verify.stdinData = "[]";
  for (testsupport::OutputTo to : {testsupport::OutputTo::kDevFull, testsupport::OutputTo::kClosedPipe}) {
    verify.output = to;
    EXPECT_EQ(testsupport::runProcess({ALBUMSWEEP_BIN, "simverify", "--files"}, verify).exitStatus, 2);
  }
}

TEST_F(ModesEndToEnd, UnusableDocumentsEndWithStatusTwo) {
  for (const std::string& input : {std::string(), std::string("[]"), std::string("{\"groups\":[[\"a\",1]]}"),
                                  std::string(200000, '[')}) {
    Outcome run = albumsweep({"simverify", "--library", lib}, input);
    EXPECT_EQ(run.result.exitStatus, 2);
    EXPECT_EQ(run.lines, (std::vector<json>{{{"fatal", "bad_input"}}}));
  }
  Outcome empty = albumsweep({"simverify", "--library", lib}, "{\"groups\":[]}");
  EXPECT_EQ(empty.result.exitStatus, 0);
  EXPECT_EQ(empty.result.out, "");
}

}  // namespace
