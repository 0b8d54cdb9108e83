// The folder library's reader process (photolibrary/reader_process.h): which
// folders it reads, and that a library asking it answers exactly as one
// that reads the files itself. (What it is for, ending a scan while a read
// hangs, is tested end to end on a FUSE mount in albumsweep/hang_e2e_test.)
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "photolibrary/folder_library.h"
#include "lockdown/lockdown.h"
#include "testsupport/images.h"

namespace photolibrary {
namespace {

TEST(HangRisk, MountsBelowTheLibraryAreFoundInTheMountTable) {
  constexpr unsigned long kExt4 = 0xEF53, kFuse = 0x65735546;
  const std::string table =
      "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "40 22 0:50 / /home/u/Pictures/My\\040NAS rw - nfs4 nas:/photos rw\n"
      "41 22 0:51 / /home/u/Pictures/usb/disk rw - fuseblk /dev/sdb1 rw\n"
      "42 22 0:52 / /home/u/Pictures2 rw - nfs4 nas:/other rw\n"          // beside the library, not below
      "43 22 0:53 / /home/u/Pictures/tmp rw shared:5 - tmpfs tmpfs rw\n"  // below, but local
      "44 22 0:54 / /mnt rw - cifs //nas/share rw\n";
  folder::HangRisk risk = folder::hangRiskOf(kExt4, "/home/u/Pictures", table);
  EXPECT_FALSE(risk.root);
  ASSERT_EQ(risk.mounts, (std::vector<std::vector<std::string>>{{"My NAS"}, {"usb", "disk"}}));
  const std::vector<std::string> path = {"usb", "disk", "a.jpg"};
  EXPECT_TRUE(risk.covers(path, 3));
  EXPECT_FALSE(risk.covers(path, 1));  // the folder "usb" itself is local
  EXPECT_FALSE(risk.covers({"tmp", "a.jpg"}, 2));
  EXPECT_TRUE(folder::hangRiskOf(kFuse, "/media/photos", table).root);
  EXPECT_FALSE(folder::hangRiskOf(kExt4, "/srv/photos", table).any());
}

// The asset facts a record shows.
void expectSameAssets(const std::vector<Asset>& got, const std::vector<Asset>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < got.size(); ++k) {
    SCOPED_TRACE(want[k].localIdentifier);
    EXPECT_EQ(got[k].localIdentifier, want[k].localIdentifier);
    EXPECT_EQ(got[k].mediaType, want[k].mediaType);
    EXPECT_EQ(got[k].creationDate, want[k].creationDate);
    EXPECT_EQ(got[k].modificationDate, want[k].modificationDate);
    EXPECT_EQ(got[k].pixelWidth, want[k].pixelWidth);
    EXPECT_EQ(got[k].pixelHeight, want[k].pixelHeight);
    EXPECT_EQ(got[k].mediaSubtypes, want[k].mediaSubtypes);
    EXPECT_EQ(got[k].hidden, want[k].hidden);
  }
}

std::optional<std::vector<std::uint8_t>> lazyBytes(PhotoLibrary& lib, const std::string& id, ImageResultInfo& info) {
  std::shared_ptr<ImageData> data;
  Asset asset;
  asset.localIdentifier = id;
  lib.requestLazyImageData(asset, {}, [&](std::shared_ptr<ImageData> d, const ImageResultInfo* i) {
    data = std::move(d);
    info = *i;
  });
  if (!data) return std::nullopt;
  std::optional<std::span<const std::uint8_t>> bytes = data->bytes();
  if (!bytes) return std::nullopt;
  return std::vector<std::uint8_t>(bytes->begin(), bytes->end());
}

std::optional<std::vector<std::uint8_t>> wholeBytes(PhotoLibrary& lib, const std::string& id, ImageResultInfo& info) {
  std::optional<std::vector<std::uint8_t>> out;
  Asset asset;
  asset.localIdentifier = id;
  lib.requestImageData(asset, {}, [&](const std::vector<std::uint8_t>* d, const ImageResultInfo* i) {
    if (d != nullptr) out = *d;
    info = *i;
  });
  return out;
}

class FolderReaderTest : public ::testing::Test {
 protected:
  // The reader is started first, while the test is one thread; the library
  // is filled afterwards (the reader reads nothing until asked).
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);  // as the programs do: a reader that has gone fails writes
    const std::string root = dir_.path();
    reader_ = startFolderReader(root, false, std::nullopt,
                                [root] { lockdown::lockDown(lockdown::albumsweepPolicy(root, false)); });
    ASSERT_TRUE(reader_);
    // A camera JPEG when the corpus is there, so that headers are really
    // read (written without libvips, whose threads would outlive the test's
    // fork otherwise); a Live Photo pair; a photo in a hidden folder; a
    // large file read in several pieces.
    std::string jpeg = "not a picture";
    if (std::ifstream in(std::string(CORPUS_DIR) + "/cameras/Canon_40D.jpg", std::ios::binary); in)
      jpeg.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::filesystem::create_directories(root + "/sub/.hidden");
    files_ = {{"a.jpg", jpeg}, {"a.mov", "movie"}, {"sub/b.jpg", jpeg + "b"},
              {"sub/.hidden/c.jpg", jpeg + "c"}, {"sub/big.jpg", jpeg + std::string(3 << 20, 'z')}};
    for (const auto& [name, bytes] : files_) ASSERT_TRUE(testsupport::writeBytes(root + "/" + name, bytes));
    here_ = openFolderLibrary(root);
    FolderLibraryProbes probes;
    // Called only where this process reads a file itself.
    probes.storage = [this](int dirFd, const std::string&, const struct stat& st) {
      ++readHere_;
      return folder::storageOf(dirFd, st);
    };
    probes.hangRisk.root = true;
    probes.reader = reader_;
    there_ = openFolderLibrary(root, probes);
  }

  testsupport::TempDir dir_;
  std::shared_ptr<reader::Process> reader_;
  std::vector<std::pair<std::string, std::string>> files_;
  std::unique_ptr<PhotoLibrary> here_, there_;
  std::atomic<int> readHere_{0};  // files the library through the reader read itself
};

TEST_F(FolderReaderTest, AnswersAsALibraryThatReadsItself) {
  FetchOptions all{true, true};
  expectSameAssets(there_->fetchAssets(MediaType::kImage, all), here_->fetchAssets(MediaType::kImage, all));
  EXPECT_EQ(there_->countAssets(all), here_->countAssets(all));
  const std::vector<std::string> ids = {"sub/b.jpg", "a.jpg", "nothing.jpg", "sub/.hidden/c.jpg"};
  expectSameAssets(there_->fetchAssetsWithLocalIdentifiers(ids), here_->fetchAssetsWithLocalIdentifiers(ids));
  Asset live;
  live.localIdentifier = "a.jpg";
  std::vector<AssetResource> resources = there_->assetResources(live);
  ASSERT_EQ(resources.size(), 2u);
  EXPECT_EQ(resources[1].type, kResourcePairedVideo);
  EXPECT_EQ(resources[1].originalFilename, "a.mov");
  for (const auto& [name, bytes] : files_) {
    if (name.ends_with(".mov")) continue;
    SCOPED_TRACE(name);
    const std::vector<std::uint8_t> want(bytes.begin(), bytes.end());
    ImageResultInfo info;
    EXPECT_EQ(lazyBytes(*there_, name, info), want);
    EXPECT_FALSE(info.hasError);
    EXPECT_EQ(wholeBytes(*there_, name, info), want);
  }
  // A request for a file that is not there fails as it does here.
  ImageResultInfo info;
  EXPECT_EQ(lazyBytes(*there_, "sub/none.jpg", info), std::nullopt);
  EXPECT_TRUE(info.hasError);
  EXPECT_EQ(readHere_.load(), 0);
}

// A reader that has gone (killed, crashed) is replaced by reading here:
// the answers stay whole, never an empty library.
TEST_F(FolderReaderTest, ReaderThatHasGoneIsReplacedByReadingHere) {
  ASSERT_EQ(::kill(reader_->pid(), SIGKILL), 0);
  ASSERT_EQ(::waitpid(reader_->pid(), nullptr, 0), reader_->pid());
  FetchOptions all{true, true};
  expectSameAssets(there_->fetchAssets(MediaType::kImage, all), here_->fetchAssets(MediaType::kImage, all));
  ImageResultInfo info;
  EXPECT_EQ(wholeBytes(*there_, "sub/b.jpg", info), wholeBytes(*here_, "sub/b.jpg", info));
  EXPECT_TRUE(wholeBytes(*there_, "sub/b.jpg", info).has_value());
  EXPECT_GT(readHere_.load(), 0);
}

}  // namespace
}  // namespace photolibrary
