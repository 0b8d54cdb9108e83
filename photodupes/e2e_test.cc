// photodupes end to end: the built program scanning libraries made at test
// time through the real albumsweep, and through stand-ins of albumsweep that
// misbehave.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "imaging/digest.h"
#include "imaging/imaging.h"
#include "photodupes/e2e_support.h"
#include "photodupes/grouping.h"
#include "testsupport/photo_edits.h"

namespace photodupes::e2e {
namespace {

namespace fs = std::filesystem;

class PhotodupesE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    made_ = makeLibrary(lib());
    if (made_.empty()) GTEST_SKIP() << "no photo corpus at " << CORPUS_DIR;
  }
  std::string lib() const { return dir_.path() + "/library"; }
  std::string state() const { return dir_.path() + "/state"; }
  std::string catalogFile() const {
    auto files = std::vector<fs::path>();
    for (auto& e : fs::directory_iterator(state() + "/photodupes"))
      if (e.path().extension() == ".db") files.push_back(e.path());
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? "" : files[0].string();
  }
  testsupport::TempDir dir_;
  GroupSet made_;
};

std::size_t lineCount(const std::string& s) { return std::count(s.begin(), s.end(), '\n'); }

TEST_F(PhotodupesE2E, FindsTheGroupsMadeAndScansNothingTwice) {
  auto scan = photodupes({"scan", "--library", lib()}, state());
  ASSERT_EQ(scan.exitStatus, 0) << scan.err;
  EXPECT_EQ(scan.out + scan.err, "");  // not a terminal: nothing but errors

  auto groups = photodupes({"groups", "--json", "--library", lib()}, state());
  ASSERT_EQ(groups.exitStatus, 0) << groups.err;
  EXPECT_EQ(groupsOf(groups.out, lib()), made_);
  const auto doc = nlohmann::json::parse(groups.out);
  for (const auto& g : doc["groups"]) {
    // The keeper of a resized pair is the full-size original.
    if (g["members"].size() == 3) {
      EXPECT_EQ(g["keeper"], lib() + "/originals/Kodak_CX7530.jpg");
    }
    EXPECT_EQ(g["reason"], g["members"][1]["reason"] == "exact" && g["members"].size() == 2 ? "exact" : "near");
  }

  // The files not kept, zero-separated: every member but the keepers.
  auto notKept = photodupes({"groups", "--not-kept", "-0", "--library", lib()}, state());
  std::set<std::string> listed;
  for (std::size_t s = 0, z; (z = notKept.out.find('\0', s)) != std::string::npos; s = z + 1)
    listed.insert(notKept.out.substr(s, z - s));
  EXPECT_EQ(listed.size(), doc["summary"]["not_kept"].get<std::size_t>());
  for (const auto& g : doc["groups"]) EXPECT_FALSE(listed.count(g["keeper"].get<std::string>()));

  // Second run: everything answers as unchanged.
  const auto before = catalogRows(catalogFile(), "library", lib());
  ASSERT_EQ(photodupes({"scan", "--library", lib()}, state()).exitStatus, 0);
  EXPECT_EQ(catalogRows(catalogFile(), "library", lib()), before);
  std::string runs = testsupport::runProcess(
                         {"/usr/bin/sqlite3", catalogFile(), "SELECT outcome, scanned, cached FROM runs ORDER BY run"})
                         .out;
  EXPECT_EQ(runs, "complete|14|0\ncomplete|0|14\n");

  // A photo that left the library is dropped; a changed one is scanned again.
  fs::remove(lib() + "/copies/nikon copy.jpg");
  fs::copy_file(lib() + "/originals/Ricoh_Caplio_RR330.jpg", lib() + "/originals/Panasonic_DMC-FZ30.jpg",
                fs::copy_options::overwrite_existing);
  ASSERT_EQ(photodupes({"scan", "--library", lib()}, state()).exitStatus, 0);
  runs = testsupport::runProcess({"/usr/bin/sqlite3", catalogFile(),
                                  "SELECT scanned, cached FROM runs ORDER BY run DESC LIMIT 1;"
                                  "SELECT count(*) FROM photos"})
             .out;
  EXPECT_EQ(runs, "1|12\n13\n");
  auto after = photodupes({"groups", "--json", "--library", lib()}, state());
  GroupSet expected = made_;
  expected.erase({"originals/Nikon_D70.jpg", "copies/nikon copy.jpg"});
  expected.insert({"originals/Panasonic_DMC-FZ30.jpg", "originals/Ricoh_Caplio_RR330.jpg"});
  EXPECT_EQ(groupsOf(after.out, lib()), expected);
}

TEST_F(PhotodupesE2E, FilesChangedSinceTheScanAreNeverListedAndAreReadAgain) {
  ASSERT_EQ(photodupes({"scan", "--library", lib()}, state()).exitStatus, 0);
  ASSERT_EQ(photodupes({"groups", "--library", lib()}, state()).exitStatus, 0);  // the user looks at the groups,
  // then rewrites an exact copy with other bytes of the same size and sets its times back, and deletes a keeper.
  const std::string copy = lib() + "/copies/nikon copy.jpg";
  struct stat was;
  ASSERT_EQ(::stat(copy.c_str(), &was), 0);
  auto bytes = *imaging::readRegularFile(copy);
  for (std::size_t k = bytes.size() / 2; k < bytes.size() / 2 + 64; ++k) bytes[k] ^= 0x55;
  ASSERT_TRUE(testsupport::writeBytes(copy, bytes));
  const timespec times[2] = {was.st_atim, was.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, copy.c_str(), times, 0), 0);
  fs::remove(lib() + "/originals/Pentax_K10D.jpg");

  auto notKept = photodupes({"groups", "--not-kept", "-0", "--library", lib()}, state());
  ASSERT_EQ(notKept.exitStatus, 0) << notKept.err;
  EXPECT_EQ(notKept.out.find("nikon copy.jpg"), std::string::npos);
  EXPECT_EQ(notKept.out.find("pentax-half.jpg"), std::string::npos);
  EXPECT_NE(notKept.err.find("2 photos changed or left since the last scan"), std::string::npos) << notKept.err << notKept.out;
  EXPECT_NE(notKept.out.find("kodak-half again.jpg"), std::string::npos);  // the other groups stand

  ASSERT_EQ(photodupes({"scan", "--library", lib()}, state()).exitStatus, 0);
  const std::string runs = testsupport::runProcess({"/usr/bin/sqlite3", catalogFile(),
                                                    "SELECT scanned + failed FROM runs ORDER BY run DESC LIMIT 1"})
                               .out;
  EXPECT_EQ(runs, "1\n");  // the rewritten copy, although its size and modification time are as they were
}

TEST_F(PhotodupesE2E, OutputThatCannotBeWrittenOddNamesAndMisplacedOptionsAreNeverTakenForSuccess) {
  // Odd names: an exact copy whose name holds a line feed and an escape
  // sequence, one whose name is not UTF-8, and a photo that does not decode.
  const std::string odd = lib() + "/copies/evil\n\x1b[31mred.jpg", latin = lib() + "/copies/caf\xe9.jpg";
  fs::copy_file(lib() + "/originals/Nikon_D70.jpg", odd);
  fs::copy_file(lib() + "/originals/Nikon_D70.jpg", latin);
  ASSERT_TRUE(testsupport::writeBytes(lib() + "/broken.jpg", std::string(4000, 'x')));
  auto scan = photodupes({"scan", "--library", lib()}, state());
  ASSERT_EQ(scan.exitStatus, 0) << scan.err;
  EXPECT_NE(scan.err.find("1 file could not be read"), std::string::npos) << scan.err;
  // Not read again while it stays as it is.
  scan = photodupes({"scan", "--library", lib()}, state());
  EXPECT_NE(scan.err.find("1 file could not be read"), std::string::npos) << scan.err;
  EXPECT_EQ(testsupport::runProcess({"/usr/bin/sqlite3", catalogFile(),
                                     "SELECT scanned + failed FROM runs ORDER BY run DESC LIMIT 1"})
                .out,
            "0\n");

  auto text = photodupes({"groups", "--library", lib()}, state());
  ASSERT_EQ(text.exitStatus, 0) << text.err;
  EXPECT_EQ(text.out.find('\x1b'), std::string::npos);
  EXPECT_NE(text.out.find("evil\\x0a\\x1b[31mred.jpg"), std::string::npos);
  auto lines = photodupes({"groups", "--not-kept", "--library", lib()}, state());
  EXPECT_EQ(lines.exitStatus, 1);
  EXPECT_EQ(lines.out, "");
  EXPECT_NE(lines.err.find("-0"), std::string::npos) << lines.err;
  auto json = photodupes({"groups", "--json", "--library", lib()}, state());
  EXPECT_NE(json.out.find("\"path_base64\":\"" + imaging::base64(std::span<const std::uint8_t>(
                                                      reinterpret_cast<const std::uint8_t*>(latin.data()), latin.size())) +
                              "\""),
            std::string::npos);

  // The library the catalog belongs to, without --library; -- ends the options.
  auto byCatalog = photodupes({"groups", "--json", "--catalog", catalogFile()}, state());
  EXPECT_EQ(byCatalog.exitStatus, 0) << byCatalog.err;
  EXPECT_EQ(byCatalog.out, json.out);
  EXPECT_EQ(photodupes({"groups", "-o", "x.html", "--library", lib()}, state()).exitStatus, 2);
  EXPECT_EQ(photodupes({"files", "--json", "--", lib() + "/originals"}, state()).exitStatus, 0);

  // Output that does not arrive is an error, and a report that cannot be written leaves nothing.
  testsupport::RunOptions full;
  full.output = testsupport::OutputTo::kDevFull;
  full.extraEnvironment = {"XDG_STATE_HOME=" + state(), "PHOTODUPES_ALBUMSWEEP=" ALBUMSWEEP_BIN};
  auto toFull = testsupport::runProcess({PHOTODUPES_BIN, "groups", "--json", "--library", lib()}, full);
  EXPECT_EQ(toFull.exitStatus, 1);
  EXPECT_NE(toFull.err.find("cannot write the output"), std::string::npos) << toFull.err;
  auto toFolder = photodupes({"report", "--library", lib(), "-o", lib()}, state());
  EXPECT_EQ(toFolder.exitStatus, 1);
  EXPECT_NE(toFolder.err.find("it is a folder"), std::string::npos) << toFolder.err;
}

TEST_F(PhotodupesE2E, ACatalogOnReadOnlyStorageIsReadAsItIs) {
  const std::string backing = dir_.path() + "/catalogs", readOnly = dir_.path() + "/read-only";
  fs::create_directories(backing);
  fs::create_directories(readOnly);
  ASSERT_EQ(photodupes({"scan", "--library", lib(), "--catalog", backing + "/cat.db"}, state()).exitStatus, 0);
  const std::string before = photodupes({"groups", "--json", "--catalog", backing + "/cat.db"}, state()).out;
  // A read-only view of the folder (a bind mount remounted read-only): needs root.
  auto sh = [](const std::string& cmd) { return testsupport::runProcess({"/bin/sh", "-c", cmd}).exitStatus; };
  if (geteuid() != 0 || sh("mount --bind '" + backing + "' '" + readOnly + "' && mount -o remount,bind,ro '" +
                           readOnly + "'") != 0) {
    sh("umount '" + readOnly + "' 2>/dev/null");
    GTEST_SKIP() << "a read-only bind mount needs root and mount(8)";
  }
  auto r = photodupes({"groups", "--json", "--catalog", readOnly + "/cat.db"}, state());
  sh("umount '" + readOnly + "'");
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, before);
}

TEST_F(PhotodupesE2E, CtrlCKeepsWhatWasScannedAndSaysSo) {
  // Ctrl-C reaches the whole process group: photodupes and albumsweep (here
  // a stand-in that passes albumsweep's first records on, writes half a
  // line, and then sends SIGINT to its group).
  const std::string fake = dir_.path() + "/interrupted.sh";
  writeScript(fake, std::string("\"") + ALBUMSWEEP_BIN +
                        "\" \"$@\" | { n=0; while IFS= read -r line; do printf '%s\\n' \"$line\"; n=$((n+1));"
                        " if [ $n -eq 6 ]; then printf '{\"i\":'; kill -INT 0; sleep 5; fi; done; }");
  const std::string wrapper = dir_.path() + "/run.sh";
  writeScript(wrapper, std::string("exec setsid \"") + PHOTODUPES_BIN + "\" \"$@\"");
  testsupport::RunOptions options;
  options.extraEnvironment = {"XDG_STATE_HOME=" + state(), "PHOTODUPES_ALBUMSWEEP=" + fake};
  auto cut = testsupport::runProcess({wrapper, "scan", "--library", lib()}, options);
  EXPECT_EQ(cut.exitStatus, 130) << cut.err;
  EXPECT_NE(cut.err.find("interrupted"), std::string::npos) << cut.err;
  EXPECT_EQ(cut.err.find("not JSON"), std::string::npos) << cut.err;
  EXPECT_EQ(catalogRows(catalogFile(), "library", lib()).size(), 5u);  // the totals line, then five records
}

TEST_F(PhotodupesE2E, AScanKilledHalfWayEndsLikeAnUninterruptedOne) {
  const std::string whole = dir_.path() + "/whole.db", killed = dir_.path() + "/killed.db";
  ASSERT_EQ(photodupes({"scan", "--library", lib(), "--catalog", whole}, state()).exitStatus, 0);

  // A stand-in that passes albumsweep's lines on and kills photodupes (its
  // parent) once the first records are committed, in the middle of the scan.
  const std::string killer = dir_.path() + "/killer.sh";
  writeScript(killer, std::string("parent=$PPID\n\"") + ALBUMSWEEP_BIN +
                          "\" \"$@\" | { n=0; while IFS= read -r line; do printf '%s\\n' \"$line\"; n=$((n+1));"
                          " if [ $n -eq 13 ]; then until [ \"$(sqlite3 \"$CATALOG\" 'SELECT count(*) FROM photos' "
                          "2>/dev/null)\" -ge 10 ] 2>/dev/null; do sleep 0.05; done; kill -9 $parent; fi; done; }");
  auto cut =
      photodupes({"scan", "--library", lib(), "--catalog", killed}, state(),
                 {"PHOTODUPES_ALBUMSWEEP=" + killer, "CATALOG=" + killed});
  ASSERT_EQ(cut.signal, SIGKILL) << cut.err;
  const auto partial = catalogRows(killed, "library", lib());
  EXPECT_GE(partial.size(), 10u);
  EXPECT_LT(partial.size(), 14u);

  ASSERT_EQ(photodupes({"scan", "--library", lib(), "--catalog", killed}, state()).exitStatus, 0);
  EXPECT_EQ(catalogRows(killed, "library", lib()), catalogRows(whole, "library", lib()));
}

TEST_F(PhotodupesE2E, AlbumsweepFailuresAreOneLineErrorsAndKeepWhatWasCommitted) {
  const std::string fake = dir_.path() + "/fake.sh";
  const std::string records =
      "cat >/dev/null\n"
      "echo '{\"auth\":\"authorized\",\"total\":3,\"library_total\":3,\"video_total\":0,\"hidden_total\":0}'\n"
      "echo '{\"i\":0,\"id\":\"originals/Nikon_D70.jpg\",\"state\":\"local\",\"ok\":true,\"hash\":"
      "\"0123456789abcdef\",\"sha\":\"aa\",\"w\":1,\"h\":1,\"bytes\":5,\"created\":0,\"mod\":1,\"thumb\":\"\","
      "\"name\":\"Nikon_D70.jpg\"}'\n";
  struct Case {
    std::string name, script, expect;
    std::size_t kept;
  } cases[] = {
      {"missing program", "", "cannot start albumsweep", 0},
      {"not JSON", records + "echo 'Segmentation fault (core dumped)'\n" + records, "not JSON", 1},
      {"crash", records + "kill -SEGV $$", "crashed", 1},
      {"killed in the middle of a line", records + "printf '{\"i\":1,\"id\"'; kill -KILL $$", "crashed", 1},
      {"restricted", "cat >/dev/null; echo '{\"auth\":\"restricted\"}'", "use `photodupes files", 0},
      {"denied", "cat >/dev/null; echo '{\"auth\":\"denied\"}'", "permission", 0},
      {"stalled", records + "echo '{\"stop\":\"stalled\",\"at\":1}'; echo '{\"progress\":1,\"of\":3}'",
       lib() + "/edits", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(state());
    std::string program = dir_.path() + "/absent";
    if (!c.script.empty()) writeScript(program = fake, c.script);
    auto r = photodupes({"scan", "--library", lib()}, state(), {"PHOTODUPES_ALBUMSWEEP=" + program});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(lineCount(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find(c.expect), std::string::npos) << r.err;
    EXPECT_EQ(catalogRows(catalogFile(), "library", lib()).size(), c.kept);
  }
}

TEST_F(PhotodupesE2E, APhotoAnsweredAsInTheCloudKeepsItsFingerprints) {
  ASSERT_EQ(photodupes({"scan", "--library", lib()}, state()).exitStatus, 0);
  const std::string id = "originals/Nikon_D70.jpg";
  auto known = Catalog::open(catalogFile(), "library", lib(), Catalog::Access::kRead)->photo(id, false);
  ASSERT_TRUE(known && known->usable());
  // A later scan that may not read it (a network mount, without --allow-cloud).
  const std::string fake = dir_.path() + "/cloud.sh";
  writeScript(fake,
              "cat >/dev/null\n"
              "echo '{\"auth\":\"authorized\",\"total\":1}'\n"
              "echo '{\"i\":0,\"id\":\"" +
                  id +
                  "\",\"state\":\"cloud\",\"ok\":false,\"err\":\"in_cloud\","
                  "\"w\":1,\"h\":1,\"created\":" +
                  std::to_string(known->mod) + ",\"mod\":" + std::to_string(known->mod) +
                  ",\"name\":\"n\"}'\n"
                  "echo '{\"progress\":1,\"of\":1}'");
  ASSERT_EQ(photodupes({"scan", "--library", lib()}, state(), {"PHOTODUPES_ALBUMSWEEP=" + fake}).exitStatus, 0);
  auto after = Catalog::open(catalogFile(), "library", lib(), Catalog::Access::kRead)->photo(id, false);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->sha, known->sha);
  EXPECT_EQ(after->dhash, known->dhash);
  // Its header was not read this time: "created" is the file time, and the
  // capture date already known stands.
  ASSERT_NE(known->created, known->mod);
  EXPECT_EQ(after->created, known->created);
}

// After a stall, albumsweep's closing line ends the round: photodupes does
// not wait for a process that cannot end while a read of a dead mount hangs
// (here one that keeps its output open).
TEST_F(PhotodupesE2E, TheClosingLineAfterAStallEndsTheRound) {
  const std::string fake = dir_.path() + "/stalls.sh";
  writeScript(fake,
              "cat >/dev/null\n"
              "echo '{\"auth\":\"authorized\",\"total\":3}'\n"
              "echo '{\"stop\":\"stalled\",\"at\":0}'\n"
              "echo '{\"progress\":0,\"of\":3}'\n"
              "exec sleep 600");
  testsupport::ProcessResult r =
      photodupes({"scan", "--library", lib()}, state(), {"PHOTODUPES_ALBUMSWEEP=" + fake});
  EXPECT_FALSE(r.timedOut);
  EXPECT_LT(r.elapsed, std::chrono::seconds(30));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("stalled"), std::string::npos) << r.err;
}

TEST_F(PhotodupesE2E, AlbumsweepDoesNotOutlivePhotodupes) {
  const std::string fake = dir_.path() + "/hang.sh", pidFile = dir_.path() + "/pid";
  writeScript(fake, "echo $$ > " + pidFile + "\nexec sleep 60");
  testsupport::RunOptions options;
  options.extraEnvironment = {"XDG_STATE_HOME=" + state(), "PHOTODUPES_ALBUMSWEEP=" + fake};
  options.timeout = std::chrono::seconds(1);
  auto r = testsupport::runProcess({PHOTODUPES_BIN, "scan", "--library", lib()}, options);
  ASSERT_TRUE(r.timedOut);
  pid_t child = 0;
  std::ifstream(pidFile) >> child;
  ASSERT_GT(child, 0);
  bool gone = false;
  for (int k = 0; k < 100 && !gone; ++k) {
    gone = kill(child, 0) != 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(gone) << "albumsweep (pid " << child << ") still runs";
}

TEST_F(PhotodupesE2E, FilesFindsTheSameGroupsInPlainFolders) {
  const std::string a = lib() + "/originals", b = lib() + "/edits", c = lib() + "/copies";
  auto r = photodupes({"files", a, b, c, "--json"}, state());
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(groupsOf(r.out, lib()), made_);
  r = photodupes({"files", c, b, a, "--json"}, state());  // the same set of folders, the same catalog
  EXPECT_EQ(groupsOf(r.out, lib()), made_);
  std::string runs =
      testsupport::runProcess({"/usr/bin/sqlite3", catalogFile(), "SELECT scanned, cached FROM runs ORDER BY run"}).out;
  EXPECT_EQ(runs, "14|0\n0|14\n");
}

// More files than one transaction takes, answered by one twinspot run as
// they come: every photo gets its own file's size and SHA-256, and the
// file that is not a picture its failure, on both sides of a commit.
TEST(PhotodupesFiles, EveryFileGetsItsOwnRecordAcrossCommits) {
  testsupport::TempDir dir;
  const std::string folder = dir.path() + "/pictures", file = dir.path() + "/cat.db";
  fs::create_directories(folder);
  constexpr int kFiles = 130;
  for (int k = 0; k < kFiles; ++k) {
    const std::string path = folder + "/p" + std::to_string(1000 + k) + ".png";
    if (k == 101)
      ASSERT_TRUE(testsupport::writeBytes(path, std::string("not a picture")));
    else
      ASSERT_TRUE(testsupport::writeImage(path, testsupport::Picture{.width = 20 + k, .height = 10}));
  }
  auto r = photodupes({"--catalog", file, "files", folder, "--json"}, dir.path() + "/state");
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  auto catalog = photodupes::Catalog::open(file, "folders", folder, photodupes::Catalog::Access::kRead);
  int seen = 0;
  for (const photodupes::Photo& p : catalog->photos(false)) {
    SCOPED_TRACE(p.path);
    const int k = std::stoi(fs::path(p.path).stem().string().substr(1)) - 1000;
    ++seen;
    if (k == 101) {
      EXPECT_EQ(p.err, "open_failed");
      continue;
    }
    EXPECT_EQ(p.w, 20 + k);
    EXPECT_EQ(p.sha, imaging::sha256Hex(*imaging::readRegularFile(p.path)));
  }
  EXPECT_EQ(seen, kFiles);
}

// Copies whose scan hashes moved too far (a padded, a 15%-cropped and a
// corner-cropped one) are grouped through the extra and corner hashes, an
// unrelated photo is not, also from a catalog written before those hashes
// existed.
TEST(PhotodupesExtraCandidates, PaddedAndHeavilyCroppedCopiesJoinTheirOriginal) {
  const std::string cameras = std::string(CORPUS_DIR) + "/cameras/";
  if (!fs::exists(cameras)) GTEST_SKIP() << "no photo corpus at " << CORPUS_DIR;
  testsupport::TempDir dir;
  const std::string lib = dir.path() + "/library", state = dir.path() + "/state", file = dir.path() + "/cat.db";
  const auto original = *imaging::readRegularFile(cameras + "fujifilm-dx10.jpg");
  fs::create_directories(lib);
  ASSERT_TRUE(testsupport::writeBytes(lib + "/original.jpg", original));
  for (auto [name, edit] : {std::pair{"padded.jpg", testsupport::PhotoEdit::kPad},
                            std::pair{"cropped.jpg", testsupport::PhotoEdit::kCrop15},
                            std::pair{"corner.jpg", testsupport::PhotoEdit::kCropCorner}}) {
    auto bytes = testsupport::editPhoto(original, edit);
    ASSERT_TRUE(bytes && testsupport::writeBytes(lib + "/" + name, *bytes)) << name;
  }
  ASSERT_TRUE(testsupport::writeBytes(lib + "/unrelated.jpg", *imaging::readRegularFile(cameras + "kodak-dc210.jpg")));
  const GroupSet expected = {{"original.jpg", "padded.jpg", "cropped.jpg", "corner.jpg"}};

  ASSERT_EQ(photodupes({"scan", "--library", lib, "--catalog", file}, state).exitStatus, 0);
  {
    // The scan hashes alone would not make them candidates.
    auto catalog = Catalog::open(file, "library", lib, Catalog::Access::kRead);
    const auto orig = catalog->photo("original.jpg", false);
    ASSERT_TRUE(orig && orig->usable());
    for (const char* copy : {"padded.jpg", "cropped.jpg", "corner.jpg"}) {
      const auto p = catalog->photo(copy, false);
      ASSERT_TRUE(p && p->usable() && p->extraHashes && p->cornerHashes) << copy;
      EXPECT_GT(std::popcount(*p->dhash ^ *orig->dhash), kDefaultRadius) << copy;
    }
  }
  auto groups = photodupes({"groups", "--json", "--library", lib, "--catalog", file}, state);
  ASSERT_EQ(groups.exitStatus, 0) << groups.err;
  EXPECT_EQ(groupsOf(groups.out, lib), expected);

  // The same catalog as the first schema wrote it: read as it is (the
  // extra and corner hashes computed for the run), then completed by the
  // next scan.
  testsupport::runProcess({"/usr/bin/sqlite3", file,
                           "ALTER TABLE photos DROP COLUMN st_dev; ALTER TABLE photos DROP COLUMN st_ino; "
                           "ALTER TABLE photos DROP COLUMN st_size; ALTER TABLE photos DROP COLUMN st_mtime_ns; "
                           "ALTER TABLE photos DROP COLUMN st_ctime_ns; ALTER TABLE photos DROP COLUMN content_share; "
                           "ALTER TABLE photos DROP COLUMN colour; DROP TABLE distances; "
                           "DROP TABLE not_duplicates; DROP TABLE choices; DROP TABLE keep_in; "
                           "DROP TABLE trash_batches; DROP TABLE trash_files; "
                           "ALTER TABLE photos DROP COLUMN corner_hashes; ALTER TABLE photos DROP COLUMN "
                           "extra_hashes; PRAGMA user_version=1"});
  groups = photodupes({"groups", "--json", "--library", lib, "--catalog", file}, state);
  ASSERT_EQ(groups.exitStatus, 0) << groups.err;
  EXPECT_EQ(groupsOf(groups.out, lib), expected);
  auto sql = [&](const std::string& query) { return testsupport::runProcess({"/usr/bin/sqlite3", file, query}).out; };
  EXPECT_EQ(sql("PRAGMA user_version"), "1\n");
  ASSERT_EQ(photodupes({"scan", "--library", lib, "--catalog", file}, state).exitStatus, 0);
  EXPECT_EQ(sql("PRAGMA user_version; SELECT count(*) FROM photos WHERE extra_hashes IS NOT NULL AND "
                "corner_hashes IS NOT NULL"),
            "5\n5\n");
  groups = photodupes({"groups", "--json", "--library", lib, "--catalog", file}, state);
  EXPECT_EQ(groupsOf(groups.out, lib), expected);
}

}  // namespace
}  // namespace photodupes::e2e
