// photodupes scan on a library whose storage stops answering (hangfs,
// testsupport/hang_mount.h): the scan ends on its own, says which file or
// folder does not answer, and keeps what it scanned. Rounds of 2 seconds
// and 2 seconds of silence allowed to photodupes' own look at the files,
// so that each run takes about the 30-second grace albumsweep gives a
// stalled round.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "photodupes/catalog.h"
#include "photodupes/e2e_support.h"
#include "testsupport/hang_mount.h"
#include "testsupport/images.h"

namespace photodupes::e2e {
namespace {

using testsupport::Misbehaviour;
using namespace std::chrono_literals;

// JPEGs `folder`/`prefix`NN.jpg, file times one minute apart from `newest`
// back: the scan takes them in that order.
void writePhotos(const std::string& root, const std::string& folder, const std::string& prefix, int count,
                 long newest) {
  std::filesystem::create_directories(root + "/" + folder);
  testsupport::Picture picture;
  picture.height = 40;
  for (int k = 0; k < count; ++k) {
    picture.width = 48 + k + static_cast<int>(prefix[0]);  // different bytes
    char name[32];
    std::snprintf(name, sizeof name, "/%s%02d.jpg", prefix.c_str(), k);
    const std::string path = root + "/" + folder + name;
    ASSERT_TRUE(testsupport::writeImage(path, picture));
    struct timespec times[2] = {{newest - 60 * k, 0}, {newest - 60 * k, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
}

class PhotodupesHangE2E : public ::testing::Test {
 protected:
  void mount() {
    mount_ = std::make_unique<testsupport::HangMount>(backing_.path());
    if (!mount_->available()) GTEST_SKIP() << mount_->why();
    // Every blocked call is let go after 150 s, so that a run that does not
    // end by itself still ends (and fails the bound below).
    watchdog_ = std::thread([this] {
      std::unique_lock<std::mutex> g(mu_);
      cv_.wait_for(g, 150s, [&] { return done_; });
      mount_->stopAll();
    });
  }
  void TearDown() override {
    if (watchdog_.joinable()) {
      {
        std::lock_guard<std::mutex> g(mu_);
        done_ = true;
      }
      cv_.notify_all();
      watchdog_.join();
    }
  }
  std::string lib() const { return mount_->mountPoint(); }
  std::string catalogFile() const { return dir_.path() + "/catalog.db"; }

  // `photodupes scan` with short rounds. Its standard error goes to a file:
  // an albumsweep left blocked in a read keeps what it inherited open, and
  // the run is over when photodupes is.
  testsupport::ProcessResult scan(const std::string& albumsweep = ALBUMSWEEP_BIN) {
    const std::string errFile = dir_.path() + "/err";
    testsupport::RunOptions options;
    options.extraEnvironment = {"PHOTODUPES_ALBUMSWEEP=" + albumsweep, "PHOTODUPES_ROUND_SECONDS=2",
                                "PHOTODUPES_QUIET_SECONDS=2", "ERR=" + errFile, "XDG_STATE_HOME=" + dir_.path()};
    options.timeout = 200s;
    auto r = testsupport::runProcess({"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>\"$ERR\"", PHOTODUPES_BIN, "--catalog",
                                      catalogFile(), "scan", "--library", lib()},
                                     options);
    std::ifstream in(errFile);
    r.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return r;
  }
  std::set<std::string> cataloged() const {
    std::set<std::string> names;
    for (const Photo& p : Catalog::open(catalogFile(), "library", lib(), Catalog::Access::kRead)->photos(false))
      if (p.usable()) names.insert(p.path.substr(lib().size() + 1));
    return names;
  }

  testsupport::TempDir dir_, backing_;
  std::unique_ptr<testsupport::HangMount> mount_;
  std::thread watchdog_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
};

// The reads of bad/b02.jpg hang from the moment the inventory is taken (as
// the totals line passes): the round stalls there; the next scan's
// inventory would hang on its header. The scan ends with status 1 and names
// the file and its folder; the photos before it are in the catalog.
TEST_F(PhotodupesHangE2E, HangingReadEndsTheScanNamingItsFolder) {
  writePhotos(backing_.path(), "good", "g", 20, 1600000000);
  writePhotos(backing_.path(), "bad", "b", 4, 1500000000);
  mount();
  if (IsSkipped()) return;
  // albumsweep behind a pipe that leaves a mark when the totals line passes.
  const std::string mark = dir_.path() + "/totals-seen", wrapper = dir_.path() + "/albumsweep";
  writeScript(wrapper, std::string("\"") + ALBUMSWEEP_BIN +
                           "\" \"$@\" | while IFS= read -r l; do printf '%s\\n' \"$l\"; case $l in *library_total*) : "
                           "> '" + mark + "';; esac; done");
  std::thread trigger([&] {
    while (access(mark.c_str(), F_OK) != 0) std::this_thread::sleep_for(5ms);
    mount_->start(Misbehaviour::kHangRead, "bad/b02.jpg");
  });
  auto r = scan(wrapper);
  trigger.join();
  EXPECT_EQ(r.exitStatus, 1) << r.err;
  EXPECT_LT(r.elapsed, 120s) << "ended only once the watchdog let the read go";
  EXPECT_NE(r.err.find(lib() + "/bad/b02.jpg does not answer when read; it is in the folder " + lib() + "/bad"),
            std::string::npos)
      << r.err;
  std::set<std::string> want;
  for (int k = 0; k < 20; ++k) want.insert("good/g" + std::string(k < 10 ? "0" : "") + std::to_string(k) + ".jpg");
  want.insert({"bad/b00.jpg", "bad/b01.jpg"});
  std::set<std::string> got = cataloged();
  for (const std::string& name : want) EXPECT_TRUE(got.count(name)) << name << " not in the catalog";
  EXPECT_FALSE(got.count("bad/b02.jpg"));
}

// A library scanned whole; then its folder bad/ stops answering lookups (a
// dead mount below the library). photodupes' stat of the photos it knows
// and its own walk reach that folder: the scan still ends, names the
// folder, and the catalog keeps every photo.
TEST_F(PhotodupesHangE2E, HangingFolderEndsTheScanNamingIt) {
  writePhotos(backing_.path(), "good", "g", 4, 1600000000);
  writePhotos(backing_.path(), "bad", "b", 4, 1500000000);
  mount();
  if (IsSkipped()) return;
  auto first = scan();
  ASSERT_EQ(first.exitStatus, 0) << first.err;
  ASSERT_EQ(cataloged().size(), 8u);

  mount_->start(Misbehaviour::kHangLookup, "bad");
  auto r = scan();
  EXPECT_EQ(r.exitStatus, 1) << r.err;
  EXPECT_LT(r.elapsed, 120s) << "ended only once the watchdog let the folder go";
  EXPECT_NE(r.err.find("the folder " + lib() + "/bad does not answer"), std::string::npos) << r.err;
  EXPECT_EQ(cataloged().size(), 8u);
}

}  // namespace
}  // namespace photodupes::e2e
