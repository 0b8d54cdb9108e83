#include "imaging/imaging.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <vips/vips.h>

#include <bit>
#include <cstring>
#include <filesystem>
#include <thread>

#include "imaging/thumbnail.h"
#include "testsupport/images.h"

namespace imaging {
namespace {

using testsupport::Colour;
using testsupport::Picture;
using testsupport::Pattern;

const std::string kCorpus = CORPUS_DIR;

// The file's bytes; empty (which thumbFrom refuses) when it cannot be read.
std::vector<std::uint8_t> readFile(const std::string& path) {
  return readRegularFile(path).value_or(std::vector<std::uint8_t>{});
}

std::vector<std::uint8_t> encoded(const Picture& params, const std::string& suffix) {
  auto bytes = testsupport::encodeImage(params, suffix);
  EXPECT_TRUE(bytes) << suffix;
  return bytes.value_or(std::vector<std::uint8_t>{});
}

// Lossless PNG of raw 8-bit pixels, read back through the public API.
Image imageOf(int width, int height, int bands, const std::vector<std::uint8_t>& pixels) {
  VipsImage* raw =
      vips_image_new_from_memory_copy(pixels.data(), pixels.size(), width, height, bands, VIPS_FORMAT_UCHAR);
  raw->Type = bands < 3 ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB;
  void* buf = nullptr;
  size_t len = 0;
  EXPECT_EQ(vips_pngsave_buffer(raw, &buf, &len, nullptr), 0);
  g_object_unref(raw);
  std::vector<std::uint8_t> png(static_cast<std::uint8_t*>(buf), static_cast<std::uint8_t*>(buf) + len);
  g_free(buf);
  auto thumb = thumbFrom(png, 100000);
  EXPECT_TRUE(thumb);
  return thumb ? std::move(thumb->image) : Image();
}

Image thumbOf(const Picture& params, const std::string& suffix, int maxPixel = 256) {
  auto thumb = thumbFrom(encoded(params, suffix), maxPixel);
  EXPECT_TRUE(thumb) << suffix;
  return thumb ? std::move(thumb->image) : Image();
}

int bitsApart(std::uint64_t a, std::uint64_t b) { return std::popcount(a ^ b); }

// Opens a file and checks its stored size and the size of its thumbnail.
void expectFileThumb(const std::string& path, std::pair<int, int> stored, int maxPixel, std::pair<int, int> thumbSize) {
  SCOPED_TRACE(path);
  auto source = imageSource(path);
  ASSERT_TRUE(source);
  EXPECT_EQ(pixelSize(*source).width, stored.first);
  EXPECT_EQ(pixelSize(*source).height, stored.second);
  auto thumb = makeThumb(*source, maxPixel);
  ASSERT_TRUE(thumb);
  EXPECT_EQ(std::pair(thumb->width(), thumb->height()), thumbSize);
}

class ImagingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { initImaging(); }
};

// ---- difference hash ----

TEST_F(ImagingTest, GridCasesHashAsLaidOut) {
  auto grid = [](int row, int col) {
    std::vector<std::uint8_t> px(72, 0);
    px[9 * row + col] = 255;
    return px;
  };
  struct Case {
    const char* name;
    Image image;
    std::uint64_t want;
  };
  std::vector<std::uint8_t> falling(256 * 64), rising(256 * 64);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 256; ++x) {
      falling[y * 256 + x] = static_cast<std::uint8_t>(255 - x);
      rising[y * 256 + x] = static_cast<std::uint8_t>(x);
    }
  Case cases[] = {
      {"uniform colour",
       thumbOf(Picture{.width = 300, .height = 200, .pattern = Pattern::kUniform, .value = 90}, ".png"), 0},
      {"white to black", imageOf(256, 64, 1, falling), ~0ull},
      {"black to white", imageOf(256, 64, 1, rising), 0},
      {"generated gradient jpeg",
       thumbOf(Picture{.width = 640, .height = 480, .pattern = Pattern::kGradient}, ".jpg"), ~0ull},
      {"top-left pixel", imageOf(9, 8, 1, grid(0, 0)), 1ull << 63},
      {"bottom row column 7", imageOf(9, 8, 1, grid(7, 7)), 1},
      {"top-right pixel (column 8)", imageOf(9, 8, 1, grid(0, 8)), 0},
      {"row 2 column 3", imageOf(9, 8, 1, grid(2, 3)), 1ull << (63 - 19)},
      {"horizontal stripes", thumbOf(Picture{.width = 200, .height = 160, .pattern = Pattern::kStripes}, ".png"), 0},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.image.empty());
    auto hash = dhash(c.image);
    ASSERT_TRUE(hash);
    EXPECT_EQ(hashText(*hash), hashText(c.want));
  }
}

TEST_F(ImagingTest, TransparentBackgroundHashesAsBlack) {
  // Left half fully transparent (white underneath), right half grey 200.
  Image transparent =
      thumbOf(Picture{.width = 160, .height = 80, .pattern = Pattern::kUniform, .value = 200, .alpha = true}, ".png");
  ASSERT_EQ(transparent.bands(), 4);
  std::vector<std::uint8_t> px(160 * 80);
  for (int y = 0; y < 80; ++y)
    for (int x = 0; x < 160; ++x) px[y * 160 + x] = x < 80 ? 0 : 200;
  Image black = imageOf(160, 80, 1, px);
  auto a = dhash(transparent), b = dhash(black);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(*a, *b);
  EXPECT_NE(*a, 0u);  // the edge between black and grey shows
}

TEST_F(ImagingTest, HashWorksOnAnySize) {
  for (auto [w, h] : {std::pair{1, 1}, {3, 2}, {9, 8}, {10, 7}, {1000, 1}, {1, 1000}, {17, 900}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    Image img = imageOf(w, h, 3, std::vector<std::uint8_t>(static_cast<size_t>(w) * h * 3, 77));
    auto hash = dhash(img);
    ASSERT_TRUE(hash);
    EXPECT_EQ(*hash, 0u);
  }
  EXPECT_FALSE(dhash(Image()));
}

TEST_F(ImagingTest, HashTextKeepsSixteenDigits) {
  EXPECT_EQ(hashText(0), "0000000000000000");
  EXPECT_EQ(hashText(1), "0000000000000001");
  EXPECT_EQ(hashText(0xABCDEFull << 40), "abcdef0000000000");
  EXPECT_EQ(hashText(~0ull), "ffffffffffffffff");
}

// ---- thumbnails, sizes and orientation ----

TEST_F(ImagingTest, ThumbnailSizesAndStoredSizes) {
  struct Case {
    const char* suffix;
    Picture params;
    int maxPixel, thumbW, thumbH;
  };
  const Case cases[] = {
      {".jpg", {.width = 800, .height = 600}, 256, 256, 192},
      {".jpg", {.width = 800, .height = 600, .orientation = 6}, 256, 192, 256},
      {".jpg", {.width = 800, .height = 600, .orientation = 8}, 256, 192, 256},
      {".jpg", {.width = 400, .height = 300, .orientation = 6}, 64, 48, 64},
      {".jpg", {.width = 400, .height = 300, .orientation = 3}, 64, 64, 48},
      {".png", {.width = 100, .height = 50}, 256, 100, 50},
      {".png", {.width = 40, .height = 30}, 64, 40, 30},
      {".png", {.width = 400, .height = 300, .orientation = 5}, 64, 48, 64},
      {".webp", {.width = 400, .height = 300, .orientation = 6}, 64, 48, 64},
      {".tif", {.width = 400, .height = 300, .orientation = 7}, 64, 48, 64},
      {".heic", {.width = 400, .height = 300}, 64, 64, 48},
      {".gif", {.width = 300, .height = 400, .pages = 3}, 256, 192, 256},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.suffix) + " orientation " + std::to_string(c.params.orientation));
    auto thumb = thumbFrom(encoded(c.params, c.suffix), c.maxPixel);
    ASSERT_TRUE(thumb);
    EXPECT_EQ(thumb->image.width(), c.thumbW);
    EXPECT_EQ(thumb->image.height(), c.thumbH);
    EXPECT_EQ(thumb->width, c.params.width);
    EXPECT_EQ(thumb->height, c.params.height);
  }
}

TEST_F(ImagingTest, EveryOrientationShowsTheSameUprightPicture) {
  for (const char* suffix : {".jpg", ".png", ".webp", ".tif"}) {
    for (bool quarter : {false, true}) {
      // Stored 300 x 200 for tags 1-4; 200 x 300 for 5-8: upright always 300 x 200.
      Picture upright{.width = 300, .height = 200, .orientation = 1};
      auto reference = dhash(thumbOf(upright, suffix, 64));
      ASSERT_TRUE(reference);
      for (int o = quarter ? 5 : 1; o <= (quarter ? 8 : 4); ++o) {
        SCOPED_TRACE(std::string(suffix) + " orientation " + std::to_string(o));
        Picture params{.width = quarter ? 200 : 300, .height = quarter ? 300 : 200, .orientation = o};
        Image thumb = thumbOf(params, suffix, 64);
        EXPECT_EQ(thumb.width(), 64);
        EXPECT_EQ(thumb.height(), 43);
        auto hash = dhash(thumb);
        ASSERT_TRUE(hash);
        EXPECT_LE(bitsApart(*hash, *reference), 3) << hashText(*hash) << " vs " << hashText(*reference);
      }
    }
  }
}

// ---- colour and unusual encodings ----

TEST_F(ImagingTest, UnusualEncodingsGiveSrgbThumbnailsOfTheSamePicture) {
  Picture base{.width = 320, .height = 240};
  Image reference = thumbOf(base, ".png", 64);
  auto refHash = dhash(reference);
  auto refRgb = rgbPixels(reference);
  ASSERT_TRUE(refHash && refRgb);
  struct Case {
    const char* name;
    const char* suffix;
    Picture params;
    int bands;
    int maxBits;     // hash distance to the plain picture
    double maxMean;  // mean absolute colour difference
  };
  auto with = [&](auto change) {
    Picture s = base;
    change(s);
    return s;
  };
  const Case cases[] = {
      {"CMYK JPEG", ".jpg", with([](Picture& s) { s.colour = Colour::kCmyk; }), 3, 4, 20},
      {"CMYK TIFF", ".tif", with([](Picture& s) { s.colour = Colour::kCmyk; }), 3, 4, 20},
      {"16-bit PNG", ".png", with([](Picture& s) { s.sixteenBit = true; }), 3, 0, 1},
      {"16-bit TIFF", ".tif", with([](Picture& s) { s.sixteenBit = true; }), 3, 0, 1},
      {"palette PNG", ".png", with([](Picture& s) { s.palette = true; }), 3, 6, 12},
      {"animated GIF", ".gif", with([](Picture& s) { s.pages = 3; }), 3, 6, 12},
      {"animated WebP", ".webp", with([](Picture& s) { s.pages = 3; }), 3, 4, 8},
      {"HEIF", ".heic", base, 3, 4, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Image thumb = thumbOf(c.params, c.suffix, 64);
    ASSERT_FALSE(thumb.empty());
    EXPECT_GE(thumb.bands(), c.bands);
    auto hash = dhash(thumb);
    auto rgb = rgbPixels(thumb);
    ASSERT_TRUE(hash && rgb);
    EXPECT_LE(bitsApart(*hash, *refHash), c.maxBits);
    ASSERT_EQ(rgb->rgb.size(), refRgb->rgb.size());
    double sum = 0;
    for (size_t i = 0; i < rgb->rgb.size(); ++i) sum += std::abs(int(rgb->rgb[i]) - int(refRgb->rgb[i]));
    EXPECT_LE(sum / rgb->rgb.size(), c.maxMean);
  }
}

TEST_F(ImagingTest, GreyAndPaletteImagesWithTransparencyKeepAlpha) {
  for (auto [name, params] :
       {std::pair{"grey+alpha", Picture{.colour = Colour::kGrey, .alpha = true}},
        {"palette+alpha", Picture{.alpha = true, .palette = true}},
        {"16-bit grey+alpha", Picture{.colour = Colour::kGrey, .alpha = true, .sixteenBit = true}}}) {
    SCOPED_TRACE(name);
    Image thumb = thumbOf(params, ".png", 64);
    ASSERT_FALSE(thumb.empty());
    EXPECT_EQ(thumb.bands(), 4);
    auto rgb = rgbPixels(thumb);
    ASSERT_TRUE(rgb);
    EXPECT_EQ(rgb->rgb[0], 0);  // top-left is transparent white: black over black
    auto b64 = jpegBase64(thumb, 0.72);
    ASSERT_TRUE(b64);
    auto jpeg = testsupport::decodeImage(*testsupport::base64Decode(*b64));
    ASSERT_TRUE(jpeg);
    EXPECT_EQ(jpeg->bands, 3);
  }
}

TEST_F(ImagingTest, EmbeddedIccProfileIsHonoured) {
  // The same picture converted to Display P3 with the profile embedded must
  // come out with (nearly) the sRGB colours of the original.
  VipsImage* in = nullptr;
  auto png = encoded(Picture{.width = 128, .height = 96}, ".png");
  in = vips_image_new_from_buffer(png.data(), png.size(), "", nullptr);
  ASSERT_NE(in, nullptr);
  VipsImage* p3 = nullptr;
  ASSERT_EQ(vips_icc_transform(in, &p3, "p3", "input_profile", "srgb", "embedded", FALSE, nullptr), 0);
  void* buf = nullptr;
  size_t len = 0;
  ASSERT_EQ(vips_pngsave_buffer(p3, &buf, &len, nullptr), 0);
  std::vector<std::uint8_t> p3png(static_cast<std::uint8_t*>(buf), static_cast<std::uint8_t*>(buf) + len);
  g_free(buf);
  g_object_unref(p3);
  g_object_unref(in);

  auto a = thumbFrom(png, 256), b = thumbFrom(p3png, 256);
  ASSERT_TRUE(a && b);
  auto ra = rgbPixels(a->image), rb = rgbPixels(b->image);
  ASSERT_TRUE(ra && rb);
  ASSERT_EQ(ra->rgb.size(), rb->rgb.size());
  int worst = 0;
  double sum = 0;
  for (size_t i = 0; i < ra->rgb.size(); ++i) {
    int d = std::abs(int(ra->rgb[i]) - int(rb->rgb[i]));
    worst = std::max(worst, d);
    sum += d;
  }
  // 8-bit quantisation in P3 costs a few levels; ignoring the profile costs
  // over a hundred.
  EXPECT_LE(worst, 12);
  EXPECT_LE(sum / ra->rgb.size(), 2.0);
}

// A decoded picture's thumbnail box-shrinks its rows itself before libvips
// takes over: the bytes must be vips_thumbnail_image's, whatever the factor
// (whole or not, up to what 16-bit sums hold and beyond), with an ICC profile too,
// and where the rows do not split evenly or the thumbnail's rows do not
// cover the picture's exactly (both left to libvips).
TEST_F(ImagingTest, ThumbnailOfDecodedRowsEqualsLibvips) {
  struct Case {
    int width, height, maxPixel;
    bool p3;
  };
  VipsBlob* p3 = nullptr;
  ASSERT_EQ(vips_profile_load("p3", &p3, nullptr), 0);
  for (Case c : {Case{1200, 900, 100, false}, Case{700, 1000, 96, false}, Case{1008, 756, 64, true},
                 Case{20560, 1028, 40, false}, Case{20640, 1032, 40, false}, Case{1000, 750, 64, false}, Case{4000, 60, 100, false}}) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " at " + std::to_string(c.maxPixel));
    std::vector<std::uint8_t> rgb(3 * static_cast<std::size_t>(c.width) * c.height);
    std::uint32_t noise = 7;
    for (std::size_t i = 0; i < rgb.size(); ++i) {
      noise = noise * 1103515245u + 12345u;
      const std::size_t x = i / 3 % c.width, y = i / 3 / c.width;
      rgb[i] = x < 8 ? 255 : static_cast<std::uint8_t>(i % 3 * 70 + x / 5 + y / 3 + (noise >> 26));
    }
    VipsImage* full = vips_image_new_from_memory(rgb.data(), rgb.size(), c.width, c.height, 3, VIPS_FORMAT_UCHAR);
    ASSERT_NE(full, nullptr);
    if (c.p3) {
      std::size_t bytes = 0;
      const void* profile = vips_blob_get(p3, &bytes);
      vips_image_set_blob_copy(full, VIPS_META_ICC_NAME, profile, bytes);
    }
    const char* exportProfile = c.p3 ? "srgb" : nullptr;
    std::optional<VipsRef> want = detail::thumbnailPipeline(full, c.maxPixel, exportProfile);
    ASSERT_TRUE(want);
    VipsRef wantMemory(vips_image_copy_memory(want->p));
    std::optional<VipsRef> got = detail::thumbnailInMemory(full, rgb.data(), c.maxPixel, exportProfile, 3);
    ASSERT_TRUE(got);
    ASSERT_EQ(got->p->Xsize, wantMemory.p->Xsize);
    ASSERT_EQ(got->p->Ysize, wantMemory.p->Ysize);
    ASSERT_EQ(got->p->Bands, wantMemory.p->Bands);
    EXPECT_EQ(std::memcmp(VIPS_IMAGE_ADDR(got->p, 0, 0), VIPS_IMAGE_ADDR(wantMemory.p, 0, 0),
                          VIPS_IMAGE_SIZEOF_IMAGE(got->p)),
              0);
    g_object_unref(full);
  }
  vips_area_unref(VIPS_AREA(p3));
}

// ---- JPEG and base64 ----

TEST_F(ImagingTest, Base64MatchesRfc4648Vectors) {
  auto b = [](std::string s) { return base64({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}); };
  EXPECT_EQ(b(""), "");
  EXPECT_EQ(b("f"), "Zg==");
  EXPECT_EQ(b("fo"), "Zm8=");
  EXPECT_EQ(b("foo"), "Zm9v");
  EXPECT_EQ(b("foobar"), "Zm9vYmFy");
}

TEST_F(ImagingTest, JpegTextDecodesWithoutLineBreaksOrMetadata) {
  auto thumb = thumbFrom(
      encoded(Picture{.width = 1024, .height = 768, .pattern = Pattern::kPhoto, .orientation = 6}, ".jpg"), 256);
  ASSERT_TRUE(thumb);
  auto low = jpegBase64(thumb->image, 0.3), high = jpegBase64(thumb->image, 0.9);
  ASSERT_TRUE(low && high);
  EXPECT_GT(high->size(), 4000u);
  EXPECT_LT(low->size(), high->size());
  EXPECT_EQ(high->find_first_of("\r\n"), std::string::npos);
  auto bytes = testsupport::base64Decode(*high);
  ASSERT_TRUE(bytes);
  ASSERT_GE(bytes->size(), 2u);
  EXPECT_EQ((*bytes)[0], 0xFF);
  EXPECT_EQ((*bytes)[1], 0xD8);
  auto decoded = testsupport::decodeImage(*bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->loader, "jpegload_buffer");
  EXPECT_EQ(decoded->width, 192);
  EXPECT_EQ(decoded->height, 256);
  // Already upright: no EXIF block (which could carry an orientation).
  std::string raw(bytes->begin(), bytes->end());
  EXPECT_EQ(raw.find("Exif"), std::string::npos);
  EXPECT_FALSE(jpegBase64(Image(), 0.7));
}

// ---- hostile input ----

TEST_F(ImagingTest, BytesThatAreNoUsableImageGiveNothing) {
  auto jpeg = encoded(Picture{.width = 640, .height = 480, .pattern = Pattern::kPhoto}, ".jpg");
  std::vector<std::uint8_t> truncated(jpeg.begin(), jpeg.begin() + jpeg.size() / 2);
  std::string text = "This is a plain text file, not a picture.\n";
  std::string svg =
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"64\" height=\"48\">"
      "<rect width=\"64\" height=\"48\" fill=\"red\"/></svg>";
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
  };
  Case cases[] = {
      {"empty", {}},
      {"plain text", std::vector<std::uint8_t>(text.begin(), text.end())},
      {"JPEG cut in half", truncated},
      {"JPEG header only", std::vector<std::uint8_t>(jpeg.begin(), jpeg.begin() + 200)},
      {"PNG declaring 100000 x 100000", testsupport::pngDeclaring(100000, 100000)},
      {"SVG (untrusted loader, blocked)", std::vector<std::uint8_t>(svg.begin(), svg.end())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(thumbFrom(c.bytes, 64));
  }
  EXPECT_FALSE(thumbFrom(jpeg, 0));
}

TEST_F(ImagingTest, ImageOverThePixelLimitIsRefusedUndecoded) {
  // A real, decodable grey PNG one row over the limit: a decoder without the
  // guard would produce a thumbnail of it.
  VipsImage* black = nullptr;
  ASSERT_EQ(vips_black(&black, 16385, 16385, nullptr), 0);
  ASSERT_GT(16385ull * 16385ull, kMaxPixels);
  void* buf = nullptr;
  size_t len = 0;
  ASSERT_EQ(vips_pngsave_buffer(black, &buf, &len, "compression", 1, nullptr), 0);
  g_object_unref(black);
  std::vector<std::uint8_t> png(static_cast<std::uint8_t*>(buf), static_cast<std::uint8_t*>(buf) + len);
  g_free(buf);
  EXPECT_FALSE(thumbFrom(png, 64));

  testsupport::TempDir dir;
  ASSERT_TRUE(testsupport::writeBytes(dir.path() + "/big.png", png));
  auto source = imageSource(dir.path() + "/big.png");
  ASSERT_TRUE(source);  // the header is fine ...
  EXPECT_EQ(pixelSize(*source).width, 16385);
  EXPECT_FALSE(makeThumb(*source, 64));  // ... the pixels are refused
}

TEST_F(ImagingTest, SourcesOpenOnlyRegularImageFiles) {
  testsupport::TempDir dir;
  const std::string d = dir.path();
  ASSERT_TRUE(testsupport::writeImage(d + "/photo.jpg", Picture{.width = 400, .height = 300, .orientation = 6}));
  ASSERT_TRUE(testsupport::writeBytes(d + "/text.jpg", std::string("hello, not a jpeg\n")));
  ASSERT_TRUE(testsupport::writeBytes(d + "/empty.jpg", std::string()));
  ASSERT_EQ(mkfifo((d + "/fifo.jpg").c_str(), 0600), 0);
  std::filesystem::create_directory(d + "/folder.jpg");

  for (const std::string& path : {d + "/missing.jpg", d + "/text.jpg", d + "/empty.jpg", d + "/fifo.jpg",
                                  d + "/folder.jpg", std::string("/dev/null"), std::string()}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(imageSource(path));
  }

  expectFileThumb(d + "/photo.jpg", {400, 300}, 64, {48, 64});
  EXPECT_FALSE(makeThumb(ImageSource(), 64));
  EXPECT_EQ(pixelSize(ImageSource()).width, 0);
}

// ---- the shared corpus of real photos ----

class CorpusTest : public ImagingTest {
 protected:
  void SetUp() override {
    if (!std::filesystem::is_directory(kCorpus)) GTEST_SKIP() << "corpus not found at " << kCorpus;
  }
};

TEST_F(CorpusTest, OrientationFilesAgree) {
  auto reference = thumbFrom(readFile(kCorpus + "/orientation/Landscape_1.jpg"), 256);
  ASSERT_TRUE(reference);
  auto refHash = dhash(reference->image);
  ASSERT_TRUE(refHash);
  for (const char* kind : {"Landscape", "Portrait"}) {
    for (int o = 0; o <= 8; ++o) {
      std::string name = std::string(kind) + "_" + std::to_string(o) + ".jpg";
      SCOPED_TRACE(name);
      auto thumb = thumbFrom(readFile(kCorpus + "/orientation/" + name), 256);
      ASSERT_TRUE(thumb);
      bool landscape = std::string(kind) == "Landscape";
      EXPECT_EQ(thumb->image.width(), landscape ? 256 : 171);
      EXPECT_EQ(thumb->image.height(), landscape ? 171 : 256);
      bool storedWide = landscape == (o <= 4);
      EXPECT_EQ(thumb->width, storedWide ? 1800 : 1200);
      EXPECT_EQ(thumb->height, storedWide ? 1200 : 1800);
      if (landscape) {
        auto hash = dhash(thumb->image);
        ASSERT_TRUE(hash);
        EXPECT_LE(bitsApart(*hash, *refHash), 4);
      }
    }
  }
}

// reducedFrom decodes a JPEG at libjpeg's coarsest scale that keeps the
// least size (1800 x 1200 at 1/8: 225 x 150), still upright and showing the
// thumbnail's picture; above the largest size it is reduced like a thumbnail.
TEST_F(CorpusTest, ReducedJpegsAreDecodedAtTheCoarsestScaleUpright) {
  auto reference = thumbFrom(readFile(kCorpus + "/orientation/Landscape_1.jpg"), 256);
  ASSERT_TRUE(reference);
  auto refHash = dhash(reference->image);
  ASSERT_TRUE(refHash);
  for (int o : {1, 3, 6, 8}) {
    const std::string name = "Landscape_" + std::to_string(o) + ".jpg";
    SCOPED_TRACE(name);
    const std::vector<std::uint8_t> bytes = readFile(kCorpus + "/orientation/" + name);
    auto reduced = reducedFrom(bytes, 200, 256);
    ASSERT_TRUE(reduced);
    EXPECT_EQ(reduced->image.width(), 225);
    EXPECT_EQ(reduced->image.height(), 150);
    EXPECT_EQ(reduced->width, o <= 4 ? 1800 : 1200);
    auto hash = dhash(reduced->image);
    ASSERT_TRUE(hash);
    EXPECT_LE(bitsApart(*hash, *refHash), 4);
    // 1/8 would be below 240, so 1/4 (450 x 300), then reduced to 256.
    auto bounded = reducedFrom(bytes, 240, 256);
    ASSERT_TRUE(bounded);
    EXPECT_EQ(bounded->image.width(), 256);
    EXPECT_EQ(bounded->image.height(), 171);
  }
  // Damaged data fails here too instead of giving a half-grey picture.
  std::vector<std::uint8_t> cut = readFile(kCorpus + "/orientation/Landscape_1.jpg");
  cut.resize(cut.size() / 2);
  EXPECT_FALSE(reducedFrom(cut, 200, 256));
  EXPECT_FALSE(reducedFrom(readFile(kCorpus + "/damaged/corrupted.jpg"), 200, 256));
}

TEST_F(CorpusTest, IphoneHeicIsTurnedOnceAndSizedAsStored) {
  const std::string heic = kCorpus + "/heif/iphone_13_pro_max.HEIC";
  // Portrait: irot applied once, the EXIF orientation not on top of it.
  expectFileThumb(heic, {4032, 3024}, 256, {192, 256});
  // Larger than the embedded 240 x 320 preview: only the full image has it.
  expectFileThumb(heic, {4032, 3024}, 1024, {768, 1024});
}

// HEIF primary images are decoded by libheif directly (tiles on every
// core); the thumbnails must be those of libvips' own HEIF loader to the
// last bit, and a damaged file must fail the same way.
TEST_F(CorpusTest, HeifThumbnailsEqualThoseOfTheLibvipsLoader) {
  auto reference = [](const std::vector<std::uint8_t>& data, int size) -> std::optional<RgbPixels> {
    VipsImage* full = vips_image_new_from_buffer(data.data(), data.size(), "", "thumbnail", FALSE, "page", 0,
                                                 "fail_on", VIPS_FAIL_ON_ERROR, nullptr);
    if (!full) return std::nullopt;
    const bool icc = vips_image_get_typeof(full, VIPS_META_ICC_NAME) != 0;
    VipsImage *thumb = nullptr, *srgb = nullptr, *uchar = nullptr;
    std::optional<RgbPixels> out;
    if (vips_thumbnail_image(full, &thumb, size, "height", size, "size", VIPS_SIZE_DOWN, "export_profile",
                             icc ? "srgb" : nullptr, nullptr) == 0 &&
        vips_colourspace(thumb, &srgb, VIPS_INTERPRETATION_sRGB, nullptr) == 0 &&
        vips_cast(srgb, &uchar, VIPS_FORMAT_UCHAR, nullptr) == 0) {
      size_t bytes = 0;
      if (void* mem = vips_image_write_to_memory(uchar, &bytes)) {
        out = RgbPixels{uchar->Xsize, uchar->Ysize, {static_cast<std::uint8_t*>(mem), static_cast<std::uint8_t*>(mem) + bytes}};
        g_free(mem);
      }
    }
    for (VipsImage* p : {full, thumb, srgb, uchar})
      if (p) g_object_unref(p);
    vips_error_clear();
    return out;
  };
  std::vector<std::string> files = {kCorpus + "/damaged/truncated_IMG_5195.HEIC"};
  for (const auto& entry : std::filesystem::directory_iterator(kCorpus + "/heif"))
    if (entry.path().extension() != ".jpg") files.push_back(entry.path());
  for (const std::string& file : files) {
    std::vector<std::uint8_t> data = readFile(file);
    // Grids are decoded tile by tile and thumbnails computed in bands, one
    // per thread: the thumbnail (256) with more threads than this machine
    // may have cores, the hash's (64) on one thread.
    for (auto [size, threads] : {std::pair{256, 3}, std::pair{64, 1}}) {
      SCOPED_TRACE(file + " at " + std::to_string(size));
      setThreadsPerDecode(threads);
      std::optional<RgbPixels> want = reference(data, size);
      std::optional<Thumb> thumb = thumbFrom(data, size);
      ASSERT_EQ(thumb.has_value(), want.has_value());
      if (!want) continue;
      std::optional<RgbPixels> got = rgbPixels(thumb->image);
      ASSERT_TRUE(got);
      EXPECT_EQ(got->width, want->width);
      EXPECT_EQ(got->height, want->height);
      EXPECT_TRUE(got->rgb == want->rgb);
    }
  }
  setThreadsPerDecode(static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
}

TEST_F(CorpusTest, RealPhotosThumbnailAndDamagedJpegFails) {
  int count = 0;
  for (const char* folder : {"cameras", "odd-exif", "heif"}) {
    for (const auto& entry : std::filesystem::directory_iterator(kCorpus + "/" + folder)) {
      SCOPED_TRACE(entry.path().string());
      auto thumb = thumbFrom(readFile(entry.path()), 256);
      ASSERT_TRUE(thumb);
      EXPECT_EQ(std::max(thumb->image.width(), thumb->image.height()),
                std::min<std::int64_t>(256, std::max(thumb->width, thumb->height)));
      EXPECT_GT(thumb->width, 0);
      EXPECT_TRUE(jpegBase64(thumb->image, 0.7));
      ++count;
    }
  }
  EXPECT_GT(count, 30);
  EXPECT_FALSE(thumbFrom(readFile(kCorpus + "/damaged/corrupted.jpg"), 256));
}

}  // namespace
}  // namespace imaging
