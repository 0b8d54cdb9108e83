#include "photolibrary/folder_library.h"
#include "photolibrary/heif_header.h"
#include "photolibrary/jpeg_header.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vips/vips.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "imaging/imaging.h"
#include "photolibrary/folder_library_meta.h"
#include "photolibrary/folder_library_names.h"
#include "photolibrary/folder_library_open.h"
#include "testsupport/camera_files.h"
#include "testsupport/images.h"
#include "testsupport/open_watch.h"

namespace photolibrary {
namespace {

namespace fs = std::filesystem;
using folder::FileKind;
using testing::ElementsAre;
using testing::UnorderedElementsAreArray;

// ---------------------------------------------------------------- names

TEST(FolderIdentifier, EscapesPercentAndInvalidBytesAndRoundTrips) {
  struct Case {
    std::string path, id;
  } cases[] = {
      {"a/b.jpg", "a/b.jpg"},
      {"100%.jpg", "100%25.jpg"},
      {"bad\xff.jpg", "bad%FF.jpg"},
      {"caf\xc3\xa9/\xe2\x82\xac.jpg", "caf\xc3\xa9/\xe2\x82\xac.jpg"},  // valid UTF-8 kept
      {"\xc0\xaf.jpg", "%C0%AF.jpg"},                                  // overlong "/"
      {"\xed\xa0\x80.jpg", "%ED%A0%80.jpg"},                           // surrogate
      {"\xe2\x82.jpg", "%E2%82.jpg"},                                  // cut-off sequence
      {"line\nbreak.jpg", "line\nbreak.jpg"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(folder::identifierFromPath(c.path), c.id);
    auto back = folder::pathFromIdentifier(c.id);
    ASSERT_TRUE(back.has_value());
    std::string joined;
    for (const auto& p : *back) joined += (joined.empty() ? "" : "/") + p;
    EXPECT_EQ(joined, c.path);
  }
}

TEST(FolderIdentifier, RefusesEveryOtherSpelling) {
  for (std::string id : {"", "/a.jpg", "a//b.jpg", "a/", "./a.jpg", "a/./b.jpg", "../a.jpg", "a/../b.jpg",
                         "..", "%41.jpg", "%ff.jpg", "%2F", "a%2Fb.jpg", "%C3%A9.jpg", "%00.jpg", "%4",
                         "a%", "100%.jpg", "%2e%2e/x.jpg", "%2E%2E/x.jpg"}) {
    EXPECT_FALSE(folder::pathFromIdentifier(id).has_value()) << id;
  }
}

TEST(FolderNames, DisplayNameReplacesEachInvalidByte) {
  EXPECT_EQ(folder::displayName("bad\xff\xfe.jpg"), "bad\xef\xbf\xbd\xef\xbf\xbd.jpg");
  EXPECT_EQ(folder::displayName("caf\xc3\xa9.jpg"), "caf\xc3\xa9.jpg");
}

TEST(FolderNames, KindsByExtensionIgnoringCase) {
  EXPECT_EQ(folder::fileKindOf("a.JPG"), FileKind::kImage);
  EXPECT_EQ(folder::fileKindOf("a.b.HeIc"), FileKind::kImage);
  EXPECT_EQ(folder::fileKindOf("a.Dng"), FileKind::kRawImage);
  EXPECT_EQ(folder::fileKindOf("a.M2TS"), FileKind::kVideo);
  EXPECT_EQ(folder::fileKindOf("a.txt"), FileKind::kOther);
  EXPECT_EQ(folder::fileKindOf("jpg"), FileKind::kOther);
  EXPECT_EQ(folder::fileKindOf(".jpg"), FileKind::kOther);
  EXPECT_EQ(folder::fileKindOf("a.jpg.part"), FileKind::kOther);
}

using Res = std::vector<std::pair<int, std::string>>;

TEST(FolderGrouping, PairsOnlyUnambiguousStems) {
  struct Case {
    std::string what;
    std::vector<std::pair<std::string, FileKind>> files;
    // primary -> (live photo, resources)
    std::map<std::string, std::pair<bool, Res>> want;
  } cases[] = {
      {"live photo, stems differ in case",
       {{"IMG_1.HEIC", FileKind::kImage}, {"img_1.mov", FileKind::kVideo}},
       {{"IMG_1.HEIC", {true, {{1, "IMG_1.HEIC"}, {9, "img_1.mov"}}}}}},
      {"raw and jpeg",
       {{"d.JPG", FileKind::kImage}, {"d.dng", FileKind::kRawImage}},
       {{"d.JPG", {false, {{1, "d.JPG"}, {4, "d.dng"}}}}}},
      {"raw, jpeg and video: one asset per file",
       {{"d.jpg", FileKind::kImage}, {"d.cr3", FileKind::kRawImage}, {"d.mov", FileKind::kVideo}},
       {{"d.jpg", {false, {{1, "d.jpg"}}}}, {"d.cr3", {false, {{1, "d.cr3"}}}}, {"d.mov", {false, {{2, "d.mov"}}}}}},
      {"raw alone, video alone",
       {{"r.nef", FileKind::kRawImage}, {"v.mp4", FileKind::kVideo}},
       {{"r.nef", {false, {{1, "r.nef"}}}}, {"v.mp4", {false, {{2, "v.mp4"}}}}}},
      {"two images of one stem stay apart, and so does the video",
       {{"a.jpg", FileKind::kImage}, {"a.png", FileKind::kImage}, {"a.mov", FileKind::kVideo}},
       {{"a.jpg", {false, {{1, "a.jpg"}}}}, {"a.png", {false, {{1, "a.png"}}}}, {"a.mov", {false, {{2, "a.mov"}}}}}},
      {"raw with video but no image",
       {{"r.arw", FileKind::kRawImage}, {"r.mov", FileKind::kVideo}},
       {{"r.arw", {false, {{1, "r.arw"}}}}, {"r.mov", {false, {{2, "r.mov"}}}}}},
      {"image, raw and two videos: one asset per file",
       {{"p.jpg", FileKind::kImage}, {"p.raf", FileKind::kRawImage}, {"p.mov", FileKind::kVideo},
        {"p.mp4", FileKind::kVideo}},
       {{"p.jpg", {false, {{1, "p.jpg"}}}}, {"p.raf", {false, {{1, "p.raf"}}}}, {"p.mov", {false, {{2, "p.mov"}}}},
        {"p.mp4", {false, {{2, "p.mp4"}}}}}},
      {"two videos: no live photo",
       {{"q.jpg", FileKind::kImage}, {"q.mov", FileKind::kVideo}, {"q.mp4", FileKind::kVideo}},
       {{"q.jpg", {false, {{1, "q.jpg"}}}}, {"q.mov", {false, {{2, "q.mov"}}}}, {"q.mp4", {false, {{2, "q.mp4"}}}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto groups = folder::groupFolder(c.files);
    std::map<std::string, std::pair<bool, Res>> got;
    for (const auto& g : groups) got[g.primary] = {g.livePhoto, g.resources};
    EXPECT_EQ(got, c.want);
  }
}

// ---------------------------------------------------------------- dates

TEST(FolderDates, SecondsKeepTheExactMillisecond) {
  for (std::int64_t ns : {std::int64_t{1700000000123000000}, std::int64_t{1700000000123999999},
                          std::int64_t{1500000000}, std::int64_t{-1500000}, std::int64_t{-2500000000},
                          std::int64_t{1234567890000000000}, std::int64_t{0}}) {
    double s = folder::secondsFromNanos(ns);
    EXPECT_EQ(static_cast<std::int64_t>(s * 1000.0), ns / 1000000) << ns;
    EXPECT_NEAR(s, static_cast<double>(ns) / 1e9, 1e-5) << ns;
  }
}

TEST(FolderDates, ExifCaptureTimes) {
  const std::int64_t kS = 1000000000;
  // 2019-03-01 10:11:12 UTC
  const std::int64_t base = 1551435072;
  struct Case {
    std::string date, offset, sub;
    std::optional<std::int64_t> want;
  } cases[] = {
      {"2019:03:01 10:11:12 (2019:03:01 10:11:12, ASCII, 20 components, 20 bytes)",
       "+02:00 (+02:00, ASCII, 7 components, 7 bytes)", "", (base - 7200) * kS},
      {"2019:03:01 10:11:12", "-05:30", "762 (762, ASCII, 4 components, 4 bytes)",
       (base + 5 * 3600 + 1800) * kS + 762000000},
      {"2019-03-01T10:11:12", "+00:00", "5", base * kS + 500000000},
      {"2019:03:01 10:11:12", "+00:00", "x1", base * kS},  // unreadable fraction ignored
      {"0000:00:00 00:00:00", "+00:00", "", std::nullopt},
      {"    :  :     :  :  ", "", "", std::nullopt},
      {"2019:02:30 10:11:12", "+00:00", "", std::nullopt},
      {"2019:03:01 24:00:00", "+00:00", "", std::nullopt},
      {"2019:03:01", "+00:00", "", std::nullopt},
      {"", "", "", std::nullopt},
      {" (, ASCII, 1 components, 1 bytes)", "", "", std::nullopt},
      // Beyond what nanoseconds since 1970 hold (found by the image fuzz harness).
      {"9999:12:31 23:59:59", "+00:00", "", std::nullopt},
      {"2262:04:12 00:00:00", "", "", std::nullopt},
      {"1677:01:01 00:00:00", "-14:00", "", std::nullopt},
      {"2261:01:01 00:00:00", "+00:00", "", 9183110400 * kS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.date + " | " + c.offset + " | " + c.sub);
    EXPECT_EQ(folder::exifCaptureTime(c.date, c.offset, c.sub), c.want);
  }
}

TEST(FolderDates, WithoutOffsetTheDateIsLocalTime) {
  std::tm tm{};
  tm.tm_year = 119, tm.tm_mon = 2, tm.tm_mday = 1, tm.tm_hour = 10, tm.tm_min = 11, tm.tm_sec = 12;
  tm.tm_isdst = -1;
  std::int64_t local = mktime(&tm);
  EXPECT_EQ(folder::exifCaptureTime("2019:03:01 10:11:12", "", ""), local * 1000000000);
  EXPECT_EQ(folder::exifCaptureTime("2019:03:01 10:11:12", "garbage", ""), local * 1000000000);
}

// ---------------------------------------------------------------- root choice

TEST(FolderRoot, PicturesDirFromUserDirs) {
  const std::string home = "/home/u";
  struct Case {
    std::string text;
    std::optional<std::string> want;
  } cases[] = {
      {"# comment\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_PICTURES_DIR=\"$HOME/Bilder\"\n", "/home/u/Bilder"},
      {"XDG_PICTURES_DIR=\"/srv/photos\"", "/srv/photos"},
      {"  XDG_PICTURES_DIR=\"$HOME/My \\\"Pics\\\"\"\n", "/home/u/My \"Pics\""},
      {"XDG_PICTURES_DIR=\"$HOME/\"\n", std::nullopt},  // the home folder itself: none
      {"XDG_PICTURES_DIR=\"relative/pics\"\n", std::nullopt},
      {"XDG_PICTURES_DIR=\"$HOMEfoo\"\n", std::nullopt},
      {"XDG_PICTURES_DIR=$HOME/Pics\n", std::nullopt},
      {"XDG_PICTURES_DIR=\"$HOME/unterminated\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(picturesDirFromUserDirs(c.text, home), c.want) << c.text;
}

class EnvOverride {
 public:
  EnvOverride(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~EnvOverride() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(FolderRoot, FromArgsThenUserDirsThenPictures) {
  testsupport::TempDir dir;
  EnvOverride home("HOME", dir.path());
  EnvOverride config("XDG_CONFIG_HOME", dir.path() + "/cfg");
  EXPECT_EQ(libraryRootFromArgs({"scan", "--library", "--max", "5"}), "--max");
  // Like every option, the last one with a value wins.
  EXPECT_EQ(libraryRootFromArgs({"--library", "/a", "--library", "/b"}), "/b");
  EXPECT_EQ(libraryRootFromArgs({"--library", "/a", "scan", "--library"}), "/a");
  EXPECT_EQ(libraryRootFromArgs({"scan"}), dir.path() + "/Pictures");
  EXPECT_EQ(libraryRootFromArgs({"scan", "--library"}), dir.path() + "/Pictures");
  fs::create_directories(dir.path() + "/cfg");
  std::ofstream(dir.path() + "/cfg/user-dirs.dirs") << "XDG_PICTURES_DIR=\"$HOME/Fotos\"\n";
  EXPECT_EQ(libraryRootFromArgs({"thumb"}), dir.path() + "/Fotos");
}

// ---------------------------------------------------------------- a library on disk

constexpr std::int64_t kBaseSeconds = 1262304000;  // 2010-01-01 UTC: every file's mtime unless set

void setMtime(const std::string& path, std::int64_t sec, long nsec = 0) {
  timespec t[2] = {{sec, nsec}, {sec, nsec}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// A JPEG with an EXIF capture date, written through libvips.
void writeJpegWithDate(const std::string& path, const std::string& date, const std::string& offset) {
  auto bytes = testsupport::encodeImage(testsupport::Picture{}, ".jpg");
  ASSERT_TRUE(bytes);
  VipsImage* in = vips_image_new_from_buffer(bytes->data(), bytes->size(), "", nullptr);
  ASSERT_NE(in, nullptr);
  VipsImage* copy = nullptr;
  ASSERT_EQ(vips_copy(in, &copy, nullptr), 0);
  vips_image_set_string(copy, "exif-ifd2-DateTimeOriginal", date.c_str());
  if (!offset.empty()) vips_image_set_string(copy, "exif-ifd2-OffsetTimeOriginal", offset.c_str());
  EXPECT_EQ(vips_jpegsave(copy, path.c_str(), nullptr), 0);
  g_object_unref(copy);
  g_object_unref(in);
}

std::vector<std::uint8_t> fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Answer {
  bool called = false;
  std::optional<std::vector<std::uint8_t>> data;
  std::optional<ImageResultInfo> info;
  int progress = 0;
};

Answer request(PhotoLibrary& lib, const std::string& id, bool network = false) {
  Answer a;
  Asset asset;
  asset.localIdentifier = id;
  ImageRequestOptions opts;
  opts.networkAccessAllowed = network;
  opts.progressHandler = [&] { ++a.progress; };
  lib.requestImageData(asset, opts, [&](const std::vector<std::uint8_t>* d, const ImageResultInfo* i) {
    a.called = true;
    if (d) a.data = *d;
    if (i) a.info = *i;
  });
  return a;
}

std::map<std::string, Asset> byIdOf(const std::vector<Asset>& assets) {
  std::map<std::string, Asset> m;
  for (const Asset& a : assets) m[a.localIdentifier] = a;
  return m;
}

class FolderLibraryTest : public testing::Test {
 protected:
  void SetUp() override {
    root = dir.path() + "/lib";
    outside = dir.path() + "/outside";
    for (const char* d : {"lib", "lib/trip", "lib/trip/deeper", "lib/.hidden", "outside"})
      fs::create_directories(dir.path() + "/" + d);
    testsupport::Picture plain;
    writeJpegWithDate(root + "/new.jpg", "2021:05:01 12:00:00", "+00:00");
    writeJpegWithDate(root + "/old.jpg", "2001:05:01 12:00:00", "+00:00");
    testsupport::Picture turned;
    turned.width = 64, turned.height = 48, turned.orientation = 6;
    ASSERT_TRUE(testsupport::writeImage(root + "/rot6.jpg", turned));
    for (const char* f : {"trip/IMG_1.jpg", "trip/DSC_2.JPG", "a.jpg", "a.png", "bad\xff.jpg", "100%.jpg",
                          ".hidden/h.jpg", ".dot.jpg", "trip/deeper/deep.webp"})
      ASSERT_TRUE(testsupport::writeImage(root + "/" + f, plain)) << f;
    for (const char* f : {"trip/IMG_1.MOV", "trip/DSC_2.dng", "trip/lonely.NEF", "trip/clip.mp4",
                          ".hidden/v.mov", "notes.txt"})
      ASSERT_TRUE(testsupport::writeBytes(root + "/" + f, std::string("not really media ") + f));
    ASSERT_TRUE(testsupport::writeBytes(root + "/damaged.jpg", std::string("\xff\xd8\xff garbage", 12)));
    ASSERT_TRUE(testsupport::writeImage(outside + "/o.jpg", plain));
    ASSERT_EQ(mkfifo((root + "/fifo.jpg").c_str(), 0644), 0);
    ASSERT_EQ(mkfifo((outside + "/pipe.jpg").c_str(), 0644), 0);
    fs::create_symlink(root + "/new.jpg", root + "/link.jpg");
    fs::create_symlink(root + "/trip", root + "/linkdir");
    fs::create_symlink(outside + "/o.jpg", root + "/outside_link.jpg");
    fs::create_symlink(outside, root + "/outlinkdir");
    for (const auto& e : fs::recursive_directory_iterator(root))
      if (!e.is_symlink() && e.is_regular_file()) setMtime(e.path(), kBaseSeconds);
    setMtime(root + "/a.png", kBaseSeconds + 60, 123456789);
  }

  static std::map<std::string, Asset> byId(const std::vector<Asset>& assets) { return byIdOf(assets); }

  testsupport::TempDir dir;
  std::string root, outside;
};

TEST_F(FolderLibraryTest, InventoryCountsOrderAndGroups) {
  auto lib = openFolderLibrary(root);
  FetchOptions newest{true, false};
  std::vector<std::string> ids;
  for (const Asset& a : lib->fetchAssets(MediaType::kImage, newest)) ids.push_back(a.localIdentifier);
  // EXIF dates first and last, a.png's later mtime next, then ties by identifier.
  EXPECT_THAT(ids, ElementsAre("new.jpg", "a.png", "100%25.jpg", "a.jpg", "bad%FF.jpg", "damaged.jpg", "rot6.jpg",
                               "trip/DSC_2.JPG", "trip/IMG_1.jpg", "trip/deeper/deep.webp", "trip/lonely.NEF",
                               "old.jpg"));
  auto videos = lib->fetchAssets(MediaType::kVideo, {});
  ASSERT_EQ(videos.size(), 1u);
  EXPECT_EQ(videos[0].localIdentifier, "trip/clip.mp4");
  EXPECT_EQ(lib->countAssets({}), 13);
  EXPECT_EQ(lib->countAssets({false, true}), 16);  // .hidden/h.jpg, .hidden/v.mov, .dot.jpg
  auto hidden = byId(lib->fetchAssets(MediaType::kImage, {true, true}));
  ASSERT_TRUE(hidden.count(".hidden/h.jpg") && hidden.count(".dot.jpg"));
  EXPECT_TRUE(hidden[".hidden/h.jpg"].hidden);
  EXPECT_FALSE(hidden["new.jpg"].hidden);
}

TEST_F(FolderLibraryTest, AssetFacts) {
  auto lib = openFolderLibrary(root);
  auto assets = byId(lib->fetchAssets(MediaType::kImage, {true, false}));
  const Asset& live = assets.at("trip/IMG_1.jpg");
  EXPECT_EQ(live.mediaSubtypes & kMediaSubtypeLivePhoto, kMediaSubtypeLivePhoto);
  auto res = [&](const Asset& a) {
    Res r;
    for (const AssetResource& x : lib->assetResources(a)) r.emplace_back(x.type, x.originalFilename);
    return r;
  };
  EXPECT_EQ(res(live), (Res{{1, "IMG_1.jpg"}, {9, "IMG_1.MOV"}}));
  EXPECT_EQ(res(assets.at("trip/DSC_2.JPG")), (Res{{1, "DSC_2.JPG"}, {4, "DSC_2.dng"}}));
  EXPECT_EQ(assets.at("trip/DSC_2.JPG").mediaSubtypes, 0u);
  EXPECT_EQ(res(assets.at("trip/lonely.NEF")), (Res{{1, "lonely.NEF"}}));
  EXPECT_EQ(res(assets.at("bad%FF.jpg")), (Res{{1, "bad\xef\xbf\xbd.jpg"}}));

  EXPECT_EQ(assets.at("rot6.jpg").pixelWidth, 48);  // stored 64x48, orientation 6
  EXPECT_EQ(assets.at("rot6.jpg").pixelHeight, 64);
  EXPECT_EQ(assets.at("a.jpg").pixelWidth, 64);
  EXPECT_EQ(assets.at("damaged.jpg").pixelWidth, 0);
  EXPECT_EQ(assets.at("trip/lonely.NEF").pixelWidth, 0);

  // EXIF date as creation, mtime (to the nanosecond's millisecond) as modification.
  EXPECT_EQ(assets.at("new.jpg").creationDate, 1619870400.0);
  EXPECT_EQ(assets.at("new.jpg").modificationDate, static_cast<double>(kBaseSeconds));
  const Asset& png = assets.at("a.png");
  EXPECT_EQ(static_cast<std::int64_t>(*png.modificationDate * 1000), (kBaseSeconds + 60) * 1000 + 123);
  EXPECT_EQ(png.creationDate, png.modificationDate);
}

// The upright size of a raw comes from its sensor image, not from the
// preview that is its first image; a BMP's from its header.
TEST(FolderLibraryFormats, RawAndBmpPixelSizes) {
  imaging::initImaging();  // as in the programs: libvips' untrusted loaders blocked
  testsupport::TempDir dir;
  testsupport::Picture sensor, preview;
  sensor.width = 96, sensor.height = 64, sensor.orientation = 6;
  preview.width = 16, preview.height = 12;
  auto dng = testsupport::encodeDng(sensor, preview);
  auto bmp = testsupport::encodeBmp(preview, testsupport::BmpLayout::kRle8);
  ASSERT_TRUE(dng && bmp);
  ASSERT_TRUE(testsupport::writeBytes(dir.path() + "/turned.dng", *dng));
  ASSERT_TRUE(testsupport::writeBytes(dir.path() + "/small.bmp", *bmp));
  auto assets = byIdOf(openFolderLibrary(dir.path())->fetchAssets(MediaType::kImage, {}));
  ASSERT_EQ(assets.size(), 2u);
  EXPECT_EQ(std::pair(assets.at("turned.dng").pixelWidth, assets.at("turned.dng").pixelHeight), std::pair(64L, 96L));
  EXPECT_EQ(std::pair(assets.at("small.bmp").pixelWidth, assets.at("small.bmp").pixelHeight), std::pair(16L, 12L));
}

TEST_F(FolderLibraryTest, IdentifiersResolveToTheSameAssets) {
  auto lib = openFolderLibrary(root);
  auto all = lib->fetchAssets(MediaType::kImage, {true, true});
  for (const Asset& v : lib->fetchAssets(MediaType::kVideo, {true, true})) all.push_back(v);
  std::vector<std::string> ids;
  for (const Asset& a : all) ids.push_back(a.localIdentifier);
  ids.push_back(ids.front());  // a repeat is answered once

  auto fresh = openFolderLibrary(root);
  auto found = byId(fresh->fetchAssetsWithLocalIdentifiers(ids));
  ASSERT_EQ(found.size(), all.size());
  EXPECT_EQ(fresh->fetchAssetsWithLocalIdentifiers(ids).size(), all.size());
  for (const Asset& a : all) {
    SCOPED_TRACE(a.localIdentifier);
    ASSERT_TRUE(found.count(a.localIdentifier));
    const Asset& b = found[a.localIdentifier];
    EXPECT_EQ(b.mediaType, a.mediaType);
    EXPECT_EQ(b.creationDate, a.creationDate);
    EXPECT_EQ(b.modificationDate, a.modificationDate);
    EXPECT_EQ(b.pixelWidth, a.pixelWidth);
    EXPECT_EQ(b.mediaSubtypes, a.mediaSubtypes);
    EXPECT_EQ(b.hidden, a.hidden);
    EXPECT_EQ(fresh->assetResources(b).size(), lib->assetResources(a).size());
  }
}

TEST_F(FolderLibraryTest, EscapeAttemptsAreNotFoundAndOpenNothing) {
  auto lib = openFolderLibrary(root);
  testsupport::OpenWatch outsideWatch(outside, IN_OPEN), rootWatch(root, IN_OPEN);
  ASSERT_TRUE(outsideWatch.ready() && rootWatch.ready());
  const std::vector<std::string> attempts = {
      outside + "/o.jpg", "../outside/o.jpg", "trip/../new.jpg", "./new.jpg", "link.jpg",
      "linkdir/IMG_1.jpg", "outlinkdir/o.jpg", "outlinkdir/pipe.jpg", "outside_link.jpg",
      "trip/IMG_1.MOV", "trip/DSC_2.dng", "fifo.jpg", "trip", "notes.txt", "missing.jpg",
      "bad\xff.jpg", "100%.jpg", "%6Eew.jpg", "new.jpg/", "trip//IMG_1.jpg", "lib/new.jpg"};
  EXPECT_TRUE(lib->fetchAssetsWithLocalIdentifiers(attempts).empty());
  for (const std::string& id : attempts) {
    if (id == "trip/IMG_1.MOV" || id == "trip/DSC_2.dng") continue;  // plain files; reading by id is refused below
    Answer a = request(*lib, id, true);
    EXPECT_TRUE(a.called && !a.data && a.info && a.info->hasError) << id;
  }
  EXPECT_THAT(outsideWatch.filesTouched(), testing::IsEmpty());
  auto inRoot = rootWatch.filesTouched();
  EXPECT_EQ(inRoot.count("fifo.jpg"), 0u);
  EXPECT_EQ(inRoot.count("link.jpg"), 0u);
  EXPECT_EQ(inRoot.count("outside_link.jpg"), 0u);
}

// Both ways of resolving a folder path (openat2 where it is allowed, else
// one component at a time) open the same folders and refuse the same ones:
// links inside or out, a file on the way, a FIFO, a missing name.
TEST_F(FolderLibraryTest, BothResolutionsOpenAndRefuseTheSameFolders) {
  int rootFd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(rootFd, 0);
  const std::vector<std::vector<std::string>> opened = {{}, {"trip"}, {"trip", "deeper"}, {".hidden"}};
  const std::vector<std::vector<std::string>> refused = {
      {"linkdir"}, {"outlinkdir"}, {"linkdir", "deeper"}, {"new.jpg"}, {"new.jpg", "x"}, {"fifo.jpg"},
      {"missing"}, {"trip", "missing"}};
  for (auto how : {folder::Resolution::kBest, folder::Resolution::kComponentwise}) {
    for (const auto& parts : opened) {
      int fd = folder::openFolderBeneath(rootFd, parts, parts.size(), how);
      struct stat got {}, want {};
      std::string path = root;
      for (const std::string& p : parts) path += "/" + p;
      ASSERT_GE(fd, 0) << path;
      EXPECT_TRUE(::fstat(fd, &got) == 0 && ::stat(path.c_str(), &want) == 0 && got.st_ino == want.st_ino) << path;
      EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
      ::close(fd);
    }
    for (const auto& parts : refused) EXPECT_EQ(folder::openFolderBeneath(rootFd, parts, parts.size(), how), -1)
        << parts.front() << " " << static_cast<int>(how);
  }
  // Only the first `count` parts are opened.
  int fd = folder::openFolderBeneath(rootFd, {"trip", "not-opened"}, 1);
  EXPECT_GE(fd, 0);
  ::close(fd);
  ::close(rootFd);
}

TEST_F(FolderLibraryTest, OriginalDataIsThePrimaryFilesBytes) {
  auto lib = openFolderLibrary(root);
  for (const char* id : {"new.jpg", "trip/IMG_1.jpg", "trip/lonely.NEF", "damaged.jpg"}) {
    Answer a = request(*lib, id);
    ASSERT_TRUE(a.called && a.data && a.info) << id;
    EXPECT_FALSE(a.info->hasError || a.info->inCloud || a.info->degraded || a.info->cancelled);
    EXPECT_EQ(*a.data, fileBytes(root + "/" + id)) << id;
    EXPECT_EQ(a.progress, 0);  // local data is not a download
  }
  Answer gone = request(*lib, "gone.jpg");
  EXPECT_TRUE(gone.called && !gone.data && gone.info->hasError);
}

// Lazy data: the answer carries the open file's size and reads nothing
// until the bytes are asked for; they are then the file as it is by then,
// shorter or megabytes longer than it was.
TEST_F(FolderLibraryTest, LazyDataIsReadOnlyWhenAskedFor) {
  auto lib = openFolderLibrary(root);
  auto asset = lib->fetchAssetsWithLocalIdentifiers(std::vector<std::string>{"new.jpg"});
  ASSERT_EQ(asset.size(), 1u);
  const std::vector<std::uint8_t> before = fileBytes(root + "/new.jpg");
  std::vector<std::uint8_t> shorter(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(before.size() / 2));
  std::vector<std::uint8_t> longer = before;
  for (std::size_t k = 0; k < (std::size_t{3} << 20); ++k) longer.push_back(static_cast<std::uint8_t>(k * 7));
  for (const auto& after : {shorter, longer}) {
    ASSERT_TRUE(testsupport::writeBytes(root + "/new.jpg", before));
    std::shared_ptr<ImageData> data;
    lib->requestLazyImageData(asset[0], {}, [&](std::shared_ptr<ImageData> d, const ImageResultInfo* info) {
      EXPECT_TRUE(info && !info->hasError);
      data = std::move(d);
    });
    ASSERT_TRUE(data);
    EXPECT_EQ(data->size(), static_cast<std::int64_t>(before.size()));
    ASSERT_TRUE(testsupport::writeBytes(root + "/new.jpg", after));  // rewritten in place
    ASSERT_TRUE(data->bytes());
    EXPECT_EQ(std::vector<std::uint8_t>(data->bytes()->begin(), data->bytes()->end()), after);
  }
  Asset gone;
  gone.localIdentifier = "gone.jpg";
  bool failed = false;
  lib->requestLazyImageData(gone, {}, [&](std::shared_ptr<ImageData> d, const ImageResultInfo* info) {
    failed = !d && info && info->hasError;
  });
  EXPECT_TRUE(failed);
}

TEST_F(FolderLibraryTest, CloudFilesAreNotReadWithoutNetworkAccess) {
  FolderLibraryProbes probes;
  probes.storage = [](int, const std::string& name, const struct stat&) {
    if (name == "new.jpg") return folder::Storage::kNetwork;
    if (name == "old.jpg") return folder::Storage::kNotResident;
    return folder::Storage::kLocal;
  };
  testsupport::OpenWatch watch(root, IN_OPEN);
  ASSERT_TRUE(watch.ready());
  // Without network access neither header is read: the dates are the files'.
  auto lib = openFolderLibrary(root, probes);
  auto assets = byId(lib->fetchAssets(MediaType::kImage, {true, false}));
  auto resolved = byIdOf(lib->fetchAssetsWithLocalIdentifiers(std::vector<std::string>{"new.jpg"}));
  EXPECT_EQ(watch.filesTouched().count("new.jpg"), 0u);
  for (const Asset& a : {assets.at("new.jpg"), assets.at("old.jpg"), resolved.at("new.jpg")}) {
    EXPECT_EQ(a.creationDate, static_cast<double>(kBaseSeconds)) << a.localIdentifier;
    EXPECT_EQ(a.pixelWidth, 0) << a.localIdentifier;
  }
  // With it, a network file's header is read; a placeholder's still is not.
  auto networked = byId(openFolderLibrary(root, probes, true)->fetchAssets(MediaType::kImage, {true, false}));
  EXPECT_EQ(networked.at("new.jpg").creationDate, 1619870400.0);
  EXPECT_EQ(networked.at("old.jpg").creationDate, static_cast<double>(kBaseSeconds));
  watch.touched();
  for (const char* id : {"new.jpg", "old.jpg"}) {
    Answer a = request(*lib, id, false);
    ASSERT_TRUE(a.called && a.info) << id;
    EXPECT_TRUE(a.info->inCloud);
    EXPECT_FALSE(a.data);
    EXPECT_EQ(a.progress, 0);
  }
  EXPECT_THAT(watch.filesTouched(), testing::IsEmpty());
  Answer fetched = request(*lib, "new.jpg", true);
  ASSERT_TRUE(fetched.data && fetched.info);
  EXPECT_FALSE(fetched.info->inCloud);
  EXPECT_EQ(*fetched.data, fileBytes(root + "/new.jpg"));
  EXPECT_GE(fetched.progress, 1);
}

TEST_F(FolderLibraryTest, TheWalkIsTakenOncePerLibrary) {
  auto lib = openFolderLibrary(root);
  auto first = lib->countAssets({});
  ASSERT_TRUE(testsupport::writeImage(root + "/later.jpg", testsupport::Picture{}));
  EXPECT_EQ(lib->countAssets({}), first);
  EXPECT_EQ(openFolderLibrary(root)->countAssets({}), first + 1);
  // Identifiers always look at the folder as it is now.
  EXPECT_EQ(lib->fetchAssetsWithLocalIdentifiers(std::vector<std::string>{"later.jpg"}).size(), 1u);
}

TEST_F(FolderLibraryTest, UnreadableFoldersArePassedOver) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every folder";
  fs::permissions(root + "/trip", fs::perms::none);
  auto lib = openFolderLibrary(root);
  auto ids = byId(lib->fetchAssets(MediaType::kImage, {}));
  fs::permissions(root + "/trip", fs::perms::owner_all);
  EXPECT_EQ(ids.count("trip/IMG_1.jpg"), 0u);
  EXPECT_EQ(ids.count("new.jpg"), 1u);
}

// ---------------------------------------------------------------- access

AuthorizationStatus askAccess(PhotoLibrary& lib) {
  std::mutex mu;
  std::condition_variable cv;
  std::optional<AuthorizationStatus> got;
  lib.requestAuthorization([&](AuthorizationStatus s) {
    std::lock_guard<std::mutex> g(mu);
    got = s;
    cv.notify_all();
  });
  std::unique_lock<std::mutex> g(mu);
  cv.wait_for(g, std::chrono::seconds(10), [&] { return got.has_value(); });
  return got.value_or(static_cast<AuthorizationStatus>(-1));
}

TEST(FolderAccess, MissingOrNotAFolderIsNotDetermined) {
  testsupport::TempDir dir;
  ASSERT_TRUE(testsupport::writeBytes(dir.path() + "/file", std::string("x")));
  EXPECT_EQ(askAccess(*openFolderLibrary(dir.path() + "/missing")), AuthorizationStatus::kNotDetermined);
  EXPECT_EQ(askAccess(*openFolderLibrary(dir.path() + "/file")), AuthorizationStatus::kNotDetermined);
  EXPECT_EQ(askAccess(*openFolderLibrary("")), AuthorizationStatus::kNotDetermined);
  EXPECT_EQ(askAccess(*openFolderLibrary(dir.path())), AuthorizationStatus::kAuthorized);
  EXPECT_TRUE(openFolderLibrary(dir.path() + "/missing")->fetchAssets(MediaType::kImage, {}).empty());
}

TEST(FolderAccess, PermissionsDecideDeniedAndRestricted) {
  if (geteuid() == 0) GTEST_SKIP() << "root passes every permission check";
  testsupport::TempDir dir;
  fs::create_directories(dir.path() + "/ro");
  fs::create_directories(dir.path() + "/none");
  fs::permissions(dir.path() + "/ro", fs::perms::owner_read | fs::perms::owner_exec);
  fs::permissions(dir.path() + "/none", fs::perms::owner_write);
  EXPECT_EQ(askAccess(*openFolderLibrary(dir.path() + "/ro")), AuthorizationStatus::kRestricted);
  EXPECT_EQ(askAccess(*openFolderLibrary(dir.path() + "/none")), AuthorizationStatus::kDenied);
  fs::permissions(dir.path() + "/none", fs::perms::owner_all);
  fs::permissions(dir.path() + "/ro", fs::perms::owner_all);
}

TEST(FolderAccess, AnsweredOnAnotherThreadAfterTheRequestReturns) {
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  FolderLibraryProbes probes;
  probes.access = [&](const std::string&) {
    std::unique_lock<std::mutex> g(mu);
    cv.wait(g, [&] { return release; });
    return AuthorizationStatus::kRestricted;
  };
  auto lib = openFolderLibrary("/nowhere", probes);
  std::atomic<int> answer{-1};
  std::thread::id caller = std::this_thread::get_id(), answeredOn;
  std::atomic<bool> done{false};
  lib->requestAuthorization([&](AuthorizationStatus s) {
    answeredOn = std::this_thread::get_id();
    answer = static_cast<int>(s);
    done = true;
  });
  EXPECT_EQ(answer.load(), -1);  // returned while the check still hangs
  {
    std::lock_guard<std::mutex> g(mu);
    release = true;
  }
  cv.notify_all();
  for (int k = 0; k < 1000 && !done; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(done);
  EXPECT_EQ(answer.load(), static_cast<int>(AuthorizationStatus::kRestricted));
  EXPECT_TRUE(answeredOn != caller);
}

// ---------------------------------------------------------------- the shared corpus

std::string corpus(const std::string& sub) {
  std::string path = std::string(CORPUS_DIR) + "/" + sub;
  return fs::is_directory(path) ? path : std::string();
}

TEST(FolderCorpus, OrientationFilesHaveTheirUprightSize) {
  std::string root = corpus("orientation");
  if (root.empty()) GTEST_SKIP() << "corpus not found at " << CORPUS_DIR;
  auto lib = openFolderLibrary(root);
  auto assets = lib->fetchAssets(MediaType::kImage, {true, false});
  ASSERT_EQ(assets.size(), 18u);
  for (const Asset& a : assets) {
    SCOPED_TRACE(a.localIdentifier);
    bool landscape = a.localIdentifier.starts_with("Landscape");
    EXPECT_EQ(a.pixelWidth, landscape ? 1800 : 1200);
    EXPECT_EQ(a.pixelHeight, landscape ? 1200 : 1800);
  }
}

TEST(FolderCorpus, HeifDatesAndSizesWithoutAWordOnStderr) {
  std::string root = corpus("heif");
  if (root.empty()) GTEST_SKIP() << "corpus not found at " << CORPUS_DIR;
  testing::internal::CaptureStderr();
  auto lib = openFolderLibrary(root);
  auto assets = byIdOf(lib->fetchAssets(MediaType::kImage, {true, false}));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "");
  ASSERT_TRUE(assets.count("iphone_13_pro_max.HEIC"));
  const Asset& phone = assets["iphone_13_pro_max.HEIC"];
  EXPECT_EQ(phone.pixelWidth, 3024);  // portrait: turned by its irot box, not again by EXIF
  EXPECT_EQ(phone.pixelHeight, 4032);
  // 2022:02:16 12:55:41.762 +01:00
  EXPECT_EQ(static_cast<std::int64_t>(*phone.creationDate * 1000), 1645012541762);
}

// JPEG and HEIF headers are read without libvips (and HEIF without libheif
// reading the whole file); sizes and dates must be what libvips reads, on
// every corpus photo, including the damaged and the odd EXIF ones.
TEST(FolderCorpus, HeadersReadFromTheFileAgreeWithLibvips) {
  if (corpus("heif").empty()) GTEST_SKIP() << "corpus not found at " << CORPUS_DIR;
  int jpegs = 0, heifs = 0, files = 0;
  for (const char* sub : {"heif", "damaged", "cameras", "odd-exif", "orientation"}) {
    for (const auto& e : fs::directory_iterator(corpus(sub))) {
      const std::string file = e.path();
      if (folder::fileKindOf(e.path().filename().string()) != FileKind::kImage) continue;
      SCOPED_TRACE(file);
      ++files;
      int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      jpegs += folder::readJpegHeader(fd).has_value();
      heifs += folder::readHeifHeader(fd).has_value();
      folder::HeaderFacts facts = folder::readHeaderFacts(fd);
      ::close(fd);
      VipsImage* image = vips_image_new_from_file(file.c_str(), nullptr);
      folder::HeaderFacts want;
      if (image) {
        auto field = [&](const char* name) {
          const char* v = nullptr;
          return vips_image_get_typeof(image, name) && vips_image_get_string(image, name, &v) == 0 && v
                     ? std::string(v) : std::string();
        };
        const char* loader = nullptr;
        bool heif = vips_image_get_string(image, "vips-loader", &loader) == 0 && loader &&
                    std::string(loader).starts_with("heif");
        int orientation = vips_image_get_typeof(image, VIPS_META_ORIENTATION) ? vips_image_get_orientation(image) : 1;
        want.width = image->Xsize;
        want.height = image->Ysize;
        if (!heif && orientation >= 5) std::swap(want.width, want.height);
        want.captureNanos = folder::exifCaptureTime(field("exif-ifd2-DateTimeOriginal"),
                                                    field("exif-ifd2-OffsetTimeOriginal"),
                                                    field("exif-ifd2-SubSecTimeOriginal"));
        g_object_unref(image);
      }
      vips_error_clear();
      EXPECT_EQ(facts.width, want.width);
      EXPECT_EQ(facts.height, want.height);
      EXPECT_EQ(facts.captureNanos, want.captureNanos);
    }
  }
  std::printf("read without libvips: %d JPEGs and %d HEIFs of %d photos\n", jpegs, heifs, files);
  EXPECT_GE(heifs, 3);  // the phone photos
  EXPECT_GE(jpegs, files / 2);
}

TEST(FolderCorpus, BrokenExifAndDamagedFilesDoNotStopTheWalk) {
  for (const char* sub : {"odd-exif", "damaged", "cameras"}) {
    std::string root = corpus(sub);
    if (root.empty()) GTEST_SKIP() << "corpus not found at " << CORPUS_DIR;
    testing::internal::CaptureStderr();
    auto lib = openFolderLibrary(root);
    auto assets = lib->fetchAssets(MediaType::kImage, {true, false});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << sub;
    std::size_t files = 0;
    for (const auto& e : fs::directory_iterator(root))
      if (folder::fileKindOf(e.path().filename().string()) != FileKind::kOther) ++files;
    EXPECT_EQ(assets.size(), files) << sub;
    for (const Asset& a : assets) EXPECT_TRUE(a.creationDate.has_value()) << a.localIdentifier;
  }
}

}  // namespace
}  // namespace photolibrary
