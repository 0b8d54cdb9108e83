// Camera raws (through LibRaw) and BMP (through ImageMagick's BMP coder):
// files generated at test time by testsupport/camera_files.h.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <thread>

#include "imaging/imaging.h"
#include "imaging/headers.h"
#include "testsupport/camera_files.h"

namespace imaging {
namespace {

using testsupport::BmpLayout;
using testsupport::Pattern;
using testsupport::Picture;

class FormatsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { initImaging(); }
};

int bitsApart(std::uint64_t a, std::uint64_t b) { return std::popcount(a ^ b); }

std::uint64_t hashOf(const Picture& picture) {
  std::optional<std::vector<std::uint8_t>> png = testsupport::encodeImage(picture, ".png");
  EXPECT_TRUE(png);
  std::optional<Thumb> thumb = thumbFrom(png.value_or(std::vector<std::uint8_t>{}));
  EXPECT_TRUE(thumb);
  return thumb ? dhash(thumb->image).value_or(0) : 0;
}

Picture scene(int width, int height, int orientation = 0) {
  Picture p;
  p.width = width;
  p.height = height;
  p.orientation = orientation;
  return p;
}

// A preview unlike the scene.
Picture preview() {
  Picture p = scene(16, 12);
  p.pattern = Pattern::kGradient;
  return p;
}

// ---- camera raws ----

TEST_F(FormatsTest, RawIsDecodedFromItsSensorDataUprightNeverFromThePreview) {
  const std::uint64_t previewHash = hashOf(preview());
  for (int orientation : {0, 3, 6, 8}) {
    SCOPED_TRACE(orientation);
    const bool quarter = orientation >= 5;
    auto dng = testsupport::encodeDng(scene(96, 64, orientation), preview());
    ASSERT_TRUE(dng);
    std::optional<Thumb> thumb = thumbFrom(*dng);
    ASSERT_TRUE(thumb);
    // The stored size of the sensor image, before the flip.
    EXPECT_EQ(thumb->width, 96);
    EXPECT_EQ(thumb->height, 64);
    // Half-size decode, turned upright.
    EXPECT_EQ(thumb->image.width(), quarter ? 32 : 48);
    EXPECT_EQ(thumb->image.height(), quarter ? 48 : 32);
    std::optional<std::uint64_t> hash = dhash(thumb->image);
    ASSERT_TRUE(hash);
    const std::uint64_t upright = hashOf(quarter ? scene(64, 96) : scene(96, 64));
    EXPECT_LE(bitsApart(*hash, upright), 6) << hashText(*hash) << " vs " << hashText(upright);
    EXPECT_GE(bitsApart(*hash, previewHash), 16);
  }
}

TEST_F(FormatsTest, RawFileGivesStoredSizeAndUprightInventorySize) {
  testsupport::TempDir dir;
  const std::string path = dir.path() + "/turned.dng";
  auto dng = testsupport::encodeDng(scene(96, 64, 6), preview());
  ASSERT_TRUE(dng && testsupport::writeBytes(path, *dng));
  std::optional<ImageSource> source = imageSource(path);
  ASSERT_TRUE(source);
  EXPECT_EQ(pixelSize(*source).width, 96);
  EXPECT_EQ(pixelSize(*source).height, 64);
  std::optional<Image> thumb = makeThumb(*source, 16);
  ASSERT_TRUE(thumb);
  EXPECT_EQ(thumb->width(), 11);  // 32 x 48 bounded to 16
  EXPECT_EQ(thumb->height(), 16);

  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  std::optional<PixelSize> upright = rawUprightSize(fd);
  ::close(fd);
  ASSERT_TRUE(upright);
  EXPECT_EQ(upright->width, 64);
  EXPECT_EQ(upright->height, 96);
}

TEST_F(FormatsTest, RawThatCannotBeReadFailsInsteadOfShowingItsPreview) {
  auto dng = testsupport::encodeDng(scene(96, 64), preview());
  ASSERT_TRUE(dng);
  for (size_t keep : {dng->size() / 2, dng->size() - 40}) {
    SCOPED_TRACE(keep);
    std::vector<std::uint8_t> cut(dng->begin(), dng->begin() + static_cast<std::ptrdiff_t>(keep));
    EXPECT_FALSE(thumbFrom(cut));
  }
  // A TIFF that is not a raw still goes through libvips.
  auto tiff = testsupport::encodeImage(scene(96, 64), ".tif");
  ASSERT_TRUE(tiff);
  std::optional<Thumb> thumb = thumbFrom(*tiff);
  ASSERT_TRUE(thumb);
  EXPECT_EQ(thumb->image.width(), 96);
}

// ---- BMP ----

TEST_F(FormatsTest, BmpLayoutsDecodeToThePicture) {
  Picture picture = scene(64, 48);
  picture.alpha = false;
  const std::uint64_t expected = hashOf(picture);
  for (BmpLayout layout :
       {BmpLayout::kRgb24, BmpLayout::kTopDown24, BmpLayout::kRgba32, BmpLayout::kPalette8, BmpLayout::kRle8}) {
    SCOPED_TRACE(static_cast<int>(layout));
    auto bmp = testsupport::encodeBmp(picture, layout);
    ASSERT_TRUE(bmp);
    std::optional<Thumb> thumb = thumbFrom(*bmp);
    ASSERT_TRUE(thumb);
    EXPECT_EQ(thumb->width, 64);
    EXPECT_EQ(thumb->height, 48);
    EXPECT_EQ(thumb->image.width(), 64);
    std::optional<std::uint64_t> hash = dhash(thumb->image);
    ASSERT_TRUE(hash);
    EXPECT_LE(bitsApart(*hash, expected), 2) << hashText(*hash) << " vs " << hashText(expected);
    // Cut short: refused, not shown with missing rows.
    bmp->resize(bmp->size() - 100);
    EXPECT_FALSE(thumbFrom(*bmp));
  }
}

TEST_F(FormatsTest, BmpAlphaIsKept) {
  Picture picture = scene(64, 48);
  picture.alpha = true;
  auto bmp = testsupport::encodeBmp(picture, BmpLayout::kRgba32);
  ASSERT_TRUE(bmp);
  std::optional<Thumb> thumb = thumbFrom(*bmp);
  ASSERT_TRUE(thumb);
  EXPECT_EQ(thumb->image.bands(), 4);
  std::optional<RgbPixels> px = rgbPixels(thumb->image);
  ASSERT_TRUE(px);
  // The transparent (white) left half composites to black.
  EXPECT_EQ(px->rgb[0], 0);
  EXPECT_EQ(px->rgb[1], 0);
}

// The scan decodes on up to 8 workers at once: every decoder object is the
// worker's own, so each thread gets the single-threaded result.
TEST_F(FormatsTest, RawsAndBmpsDecodeAlikeOnEightThreads) {
  std::vector<std::vector<std::uint8_t>> files = {*testsupport::encodeDng(scene(96, 64, 6), preview()),
                                                  *testsupport::encodeBmp(scene(64, 48), BmpLayout::kRle8)};
  std::vector<std::uint64_t> expected;
  for (const auto& f : files) expected.push_back(dhash(thumbFrom(f)->image).value_or(0));
  std::vector<int> mismatches(8, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 6; ++round) {
        const size_t k = static_cast<size_t>(t + round) % files.size();
        std::optional<Thumb> thumb = thumbFrom(files[k]);
        if (!thumb || dhash(thumb->image) != expected[k]) ++mismatches[t];
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches, std::vector<int>(8, 0));
}

}  // namespace
}  // namespace imaging
