// End to end: the built albumsweep binary scanning a folder library made at
// test time.
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>

#include <gtest/gtest.h>
#include <vips/vips.h>

#include "testsupport/camera_files.h"
#include "testsupport/images.h"
#include "testsupport/subprocess.h"

namespace {

using Json = nlohmann::json;
namespace fs = std::filesystem;

void writeJpeg(const std::string& path, int width, int height, const std::string& exifDate = "") {
  testsupport::Picture picture;
  picture.width = width;
  picture.height = height;
  auto bytes = testsupport::encodeImage(picture, ".jpg");
  ASSERT_TRUE(bytes);
  if (exifDate.empty()) {
    ASSERT_TRUE(testsupport::writeBytes(path, *bytes));
    return;
  }
  VipsImage* in = vips_image_new_from_buffer(bytes->data(), bytes->size(), "", nullptr);
  ASSERT_NE(in, nullptr);
  VipsImage* copy = nullptr;
  ASSERT_EQ(vips_copy(in, &copy, nullptr), 0);
  vips_image_set_string(copy, "exif-ifd2-DateTimeOriginal", exifDate.c_str());
  vips_image_set_string(copy, "exif-ifd2-OffsetTimeOriginal", "+00:00");
  EXPECT_EQ(vips_jpegsave(copy, path.c_str(), nullptr), 0);
  g_object_unref(copy);
  g_object_unref(in);
}

std::string sha256sumOf(const std::string& path) {
  testsupport::ProcessResult r = testsupport::runProcess({"/usr/bin/sha256sum", path});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  return r.out.substr(0, 64);
}

// A folder library with the things a real one holds.
class FolderLibrary {
 public:
  FolderLibrary() {
    const std::string& root = dir_.path();
    for (const char* sub : {"/2021/summer", "/2020", "/live", "/raw", "/.hidden", "/clips"})
      fs::create_directories(root + sub);
    writeJpeg(root + "/2021/summer/beach.jpg", 80, 60, "2021:07:01 12:00:00");
    writeJpeg(root + "/2020/old.jpg", 60, 80, "2020:01:01 08:00:00");
    writeJpeg(root + "/live/IMG_0001.JPG", 70, 50);
    testsupport::writeBytes(root + "/live/IMG_0001.MOV", std::string(2000, 'v'));  // the Live Photo's video
    writeJpeg(root + "/raw/DSC_0002.jpg", 90, 60);
    testsupport::writeBytes(root + "/raw/DSC_0002.NEF", std::string(3000, 'r'));   // its raw file
    writeJpeg(root + "/.hidden/secret.jpg", 20, 20);
    writeJpeg(root + "/.trash.jpg", 21, 20);
    testsupport::writeBytes(root + "/clips/movie.mp4", std::string(4000, 'm'));
    testsupport::writeBytes(root + "/broken.jpg", std::string("this is not a JPEG at all"));
    writeJpeg(root + "/caf\xE9.jpg", 40, 30);  // Latin-1 name: not UTF-8
    testsupport::Picture png;
    png.width = 30;
    png.height = 30;
    testsupport::writeImage(root + "/screen.png", png);
    EXPECT_EQ(mkfifo((root + "/pipe.jpg").c_str(), 0644), 0);  // must never be opened
  }
  const std::string& root() const { return dir_.path(); }
  std::string path(const std::string& id) const { return root() + "/" + id; }

 private:
  testsupport::TempDir dir_;
};

// id -> file path relative to the root, for the images of FolderLibrary.
const std::map<std::string, std::string> kImages = {
    {"2021/summer/beach.jpg", "2021/summer/beach.jpg"},
    {"2020/old.jpg", "2020/old.jpg"},
    {"live/IMG_0001.JPG", "live/IMG_0001.JPG"},
    {"raw/DSC_0002.jpg", "raw/DSC_0002.jpg"},
    {"broken.jpg", "broken.jpg"},
    {"caf%E9.jpg", "caf\xE9.jpg"},
    {"screen.png", "screen.png"},
};

struct Scan {
  testsupport::ProcessResult process;
  std::vector<Json> lines;
  std::map<std::string, Json> records;  // by id
  std::vector<Json> progress;
};

Scan runScan(const FolderLibrary& lib, std::vector<std::string> extra = {}, std::string manifest = "") {
  std::vector<std::string> argv = {ALBUMSWEEP_BIN, "--library", lib.root()};
  argv.insert(argv.end(), extra.begin(), extra.end());
  testsupport::RunOptions options;
  options.stdinData = std::move(manifest);
  options.timeout = std::chrono::seconds(60);
  Scan scan;
  scan.process = testsupport::runProcess(argv, options);
  scan.lines = testsupport::parseJsonLines(scan.process.out);
  for (const auto& l : scan.lines) {
    if (l.contains("i")) {
      EXPECT_TRUE(scan.records.emplace(l["id"].get<std::string>(), l).second) << "twice: " << l.dump();
    } else if (l.contains("progress")) {
      scan.progress.push_back(l);
    }
  }
  return scan;
}

TEST(ScanEndToEndTest, ScansAFolderLibrary) {
  FolderLibrary lib;
  Scan scan = runScan(lib);
  ASSERT_FALSE(scan.process.timedOut);
  EXPECT_EQ(scan.process.exitStatus, 0);
  EXPECT_EQ(scan.process.err, "");
  ASSERT_FALSE(scan.lines.empty()) << scan.process.out;
  EXPECT_EQ(scan.lines[0], (Json{{"auth", "authorized"}, {"total", 7}, {"library_total", 7},
                                 {"video_total", 1}, {"hidden_total", 2}}));
  ASSERT_EQ(scan.records.size(), kImages.size()) << scan.process.out;
  EXPECT_EQ(scan.lines.back(), (Json{{"progress", 7}, {"of", 7}}));

  for (const auto& [id, file] : kImages) {
    const Json& r = scan.records.at(id);
    std::string path = lib.path(file);
    if (id == "broken.jpg") {
      EXPECT_EQ(r, (Json{{"i", r["i"]}, {"id", id}, {"state", "unknown"}, {"ok", false}, {"err", "decode_failed"}}));
      continue;
    }
    EXPECT_EQ(r["ok"], true) << r.dump();
    EXPECT_EQ(r["state"], "local");
    EXPECT_EQ(r["sha"], sha256sumOf(path)) << id;
    EXPECT_EQ(r["bytes"], static_cast<std::int64_t>(fs::file_size(path))) << id;
    EXPECT_EQ(r["hash"].get<std::string>().size(), 16u);
    EXPECT_FALSE(r["thumb"].get<std::string>().empty());
    bool pair = id == "live/IMG_0001.JPG" || id == "raw/DSC_0002.jpg";
    EXPECT_EQ(r.contains("multires"), pair) << id;
  }
  EXPECT_EQ(scan.records.at("caf%E9.jpg")["name"], "caf\xEF\xBF\xBD.jpg");
  EXPECT_EQ(scan.records.at("2021/summer/beach.jpg")["name"], "beach.jpg");
  EXPECT_EQ(scan.records.at("2021/summer/beach.jpg")["created"], 1625140800000);
  EXPECT_EQ(scan.records.at("2021/summer/beach.jpg")["w"], 80);
  EXPECT_EQ(scan.records.at("2020/old.jpg")["created"], 1577865600000);

  // Newest first: one worker writes the records in index order.
  std::int64_t lastCreated = INT64_MAX, expectI = 0;
  for (const auto& l : scan.lines) {
    if (!l.contains("i")) continue;
    EXPECT_EQ(l["i"], expectI++);
    if (l.contains("created")) {
      EXPECT_LE(l["created"].get<std::int64_t>(), lastCreated);
      lastCreated = l["created"];
    }
  }
}

TEST(ScanEndToEndTest, SecondRunWithAManifestSkipsUnchangedFiles) {
  FolderLibrary lib;
  Scan first = runScan(lib);
  ASSERT_EQ(first.records.size(), kImages.size()) << first.process.out;
  Json skip = Json::array();
  for (const auto& [id, r] : first.records)
    if (r["ok"] == true) skip.push_back({{"id", id}, {"mod", r["mod"]}, {"size", r["bytes"]}});
  ASSERT_EQ(skip.size(), kImages.size() - 1);

  // One file changes: new content, new modification time.
  const std::string changed = lib.path("2020/old.jpg");
  writeJpeg(changed, 61, 80, "2020:01:01 08:00:00");
  timespec later[2] = {{2000000000, 0}, {2000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, changed.c_str(), later, 0), 0);

  Scan second = runScan(lib, {"--allow-cloud"}, Json{{"skip", skip}}.dump());
  EXPECT_EQ(second.process.exitStatus, 0);
  ASSERT_EQ(second.records.size(), kImages.size()) << second.process.out;
  for (const auto& [id, r] : second.records) {
    if (id == "2020/old.jpg") {
      EXPECT_FALSE(r.contains("cached")) << r.dump();
      EXPECT_EQ(r["sha"], sha256sumOf(changed));
      EXPECT_NE(r["sha"], first.records.at(id)["sha"]);
    } else if (id == "broken.jpg") {
      EXPECT_EQ(r["err"], "decode_failed");
    } else {
      EXPECT_EQ(r["cached"], true) << r.dump();
      EXPECT_EQ(r["bytes"], first.records.at(id)["bytes"]);
      EXPECT_EQ(r["mod"], first.records.at(id)["mod"]);
      EXPECT_FALSE(r.contains("sha"));
      EXPECT_EQ(r.contains("multires"), first.records.at(id).contains("multires")) << id;
    }
  }
  EXPECT_EQ(second.lines.back(), (Json{{"progress", 7}, {"of", 7}}));
}

// A raw alone is pictured from its sensor data (its preview, a grey
// gradient, hashes to all ones); beside a JPEG, the JPEG stays the data.
TEST(ScanEndToEndTest, ScansRawsAndBmps) {
  testsupport::TempDir dir;
  testsupport::Picture sensor, preview, other;
  sensor.width = 96, sensor.height = 64, sensor.orientation = 6;
  preview.width = 16, preview.height = 12, preview.pattern = testsupport::Pattern::kGradient;
  other.width = 64, other.height = 48, other.pattern = testsupport::Pattern::kStripes;
  auto dng = testsupport::encodeDng(sensor, preview);
  auto bmp = testsupport::encodeBmp(other, testsupport::BmpLayout::kRle8);
  ASSERT_TRUE(dng && bmp);
  ASSERT_TRUE(testsupport::writeBytes(dir.path() + "/alone.dng", *dng));
  ASSERT_TRUE(testsupport::writeBytes(dir.path() + "/pair.DNG", *dng));
  ASSERT_TRUE(testsupport::writeImage(dir.path() + "/pair.jpg", other));
  ASSERT_TRUE(testsupport::writeBytes(dir.path() + "/pic.bmp", *bmp));
  testsupport::ProcessResult r = testsupport::runProcess({ALBUMSWEEP_BIN, "--library", dir.path()});
  EXPECT_EQ(r.exitStatus, 0);
  std::map<std::string, Json> records;
  for (const Json& l : testsupport::parseJsonLines(r.out))
    if (l.contains("id")) records[l["id"].get<std::string>()] = l;
  ASSERT_EQ(records.size(), 3u) << r.out;
  const Json& raw = records.at("alone.dng");
  EXPECT_EQ(raw["ok"], true) << raw.dump();
  EXPECT_EQ(std::pair(raw["w"], raw["h"]), std::pair(Json(96), Json(64)));
  EXPECT_NE(raw["hash"], "ffffffffffffffff");
  EXPECT_EQ(records.at("pair.jpg")["sha"], sha256sumOf(dir.path() + "/pair.jpg"));
  EXPECT_EQ(records.at("pic.bmp")["ok"], true) << records.at("pic.bmp").dump();
  EXPECT_EQ(records.at("pic.bmp")["hash"], records.at("pair.jpg")["hash"]);
}

TEST(ScanEndToEndTest, MissingLibraryIsNotDetermined) {
  testsupport::TempDir dir;
  testsupport::ProcessResult r =
      testsupport::runProcess({ALBUMSWEEP_BIN, "--library", dir.path() + "/nowhere", "--max", "3"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, "{\"auth\":\"not-determined\"}\n");
  EXPECT_EQ(r.err, "");
}

TEST(ScanEndToEndTest, CreatesNoFile) {
  FolderLibrary lib;
  writeJpeg(lib.path("large.jpg"), 800, 600);  // large enough to be reduced for its thumbnail
  testsupport::expectCreatesNoFile({ALBUMSWEEP_BIN, "--library", lib.root()});
  testsupport::RunOptions thumb;
  thumb.stdinData = testsupport::zeroJoined({"2020/old.jpg"});
  testsupport::expectCreatesNoFile({ALBUMSWEEP_BIN, "thumb", "--library", lib.root()}, thumb);
}

TEST(ScanEndToEndTest, OutputThatCannotBeWrittenEndsWithStatusOne) {
  FolderLibrary lib;
  testsupport::expectUnwritableOutputEndsWithStatusOne({ALBUMSWEEP_BIN, "--library", lib.root()});
  // The lone "auth" line of a refused scan.
  testsupport::expectUnwritableOutputEndsWithStatusOne({ALBUMSWEEP_BIN, "--library", lib.path("nowhere")});
}

TEST(ScanEndToEndTest, EmptyLibraryWritesOnlyTheTotals) {
  testsupport::TempDir dir;
  testsupport::writeBytes(dir.path() + "/clip.mov", std::string(100, 'x'));
  testsupport::ProcessResult r = testsupport::runProcess({ALBUMSWEEP_BIN, "--library", dir.path()});
  EXPECT_EQ(r.exitStatus, 0);
  std::vector<Json> lines = testsupport::parseJsonLines(r.out);
  ASSERT_EQ(lines.size(), 1u) << r.out;
  EXPECT_EQ(lines[0], (Json{{"auth", "authorized"}, {"total", 0}, {"library_total", 0},
                            {"video_total", 1}, {"hidden_total", 0}}));
}

}  // namespace
