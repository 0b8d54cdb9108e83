#include "testsupport/images.h"

#include <gtest/gtest.h>
#include <vips/vips.h>

#include <filesystem>

namespace testsupport {
namespace {

// Loads a file, applies its orientation tag, returns the pixels.
std::optional<Decoded> uprightPixels(const std::vector<std::uint8_t>& bytes, int* orientation) {
  VipsImage* in = vips_image_new_from_buffer(bytes.data(), bytes.size(), "", nullptr);
  if (!in) return std::nullopt;
  *orientation = vips_image_get_orientation(in);
  VipsImage* up = nullptr;
  if (vips_autorot(in, &up, nullptr)) {
    g_object_unref(in);
    return std::nullopt;
  }
  g_object_unref(in);
  size_t size = 0;
  void* mem = vips_image_write_to_memory(up, &size);
  Decoded d{up->Xsize, up->Ysize, up->Bands, "", {}};
  d.pixels.assign(static_cast<std::uint8_t*>(mem), static_cast<std::uint8_t*>(mem) + size);
  g_free(mem);
  g_object_unref(up);
  return d;
}

TEST(TestImages, OrientedFilesShowTheSameUprightPicture) {
  Picture params;
  params.width = 40;
  params.height = 30;
  for (const char* suffix : {".png", ".tif", ".webp", ".jpg"}) {
    // Orientations 1-4 show the picture at 40 x 30, 5-8 at 30 x 40.
    int dummy = 0;
    Picture wide{.width = 40, .height = 30}, tall{.width = 30, .height = 40};
    auto referenceWide = uprightPixels(*encodeImage(wide, suffix), &dummy);
    auto referenceTall = uprightPixels(*encodeImage(tall, suffix), &dummy);
    ASSERT_TRUE(referenceWide && referenceTall);
    for (int o = 1; o <= 8; ++o) {
      const std::optional<Decoded>& reference = o <= 4 ? referenceWide : referenceTall;
      SCOPED_TRACE(std::string(suffix) + " orientation " + std::to_string(o));
      params.orientation = o;
      auto bytes = encodeImage(params, suffix);
      ASSERT_TRUE(bytes);
      auto stored = decodeImage(*bytes);
      ASSERT_TRUE(stored);
      EXPECT_EQ(stored->width, 40);
      EXPECT_EQ(stored->height, 30);
      int tag = 0;
      auto up = uprightPixels(*bytes, &tag);
      ASSERT_TRUE(up);
      EXPECT_EQ(tag, o);
      EXPECT_EQ(up->width, reference->width);
      EXPECT_EQ(up->height, reference->height);
      if (std::string(suffix) == ".webp" || std::string(suffix) == ".jpg") continue;  // lossy
      EXPECT_TRUE(up->pixels == reference->pixels);
    }
  }
}

TEST(TestImages, FormatsAndVariantsEncode) {
  struct Case {
    const char* suffix;
    Picture params;
    const char* loader;
    int bands;
  };
  Picture grey{.colour = Colour::kGrey};
  Picture cmyk{.colour = Colour::kCmyk};
  Picture alpha{.alpha = true};
  Picture anim{.pages = 3};
  const Case cases[] = {
      {".jpg", Picture{}, "jpegload_buffer", 3},  {".jpg", grey, "jpegload_buffer", 1},
      {".jpg", cmyk, "jpegload_buffer", 3},         {".png", alpha, "pngload_buffer", 4},
      {".webp", Picture{}, "webpload_buffer", 3}, {".gif", anim, "gifload_buffer", 4},
      {".tif", Picture{}, "tiffload_buffer", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.suffix);
    auto bytes = encodeImage(c.params, c.suffix);
    ASSERT_TRUE(bytes);
    auto d = decodeImage(*bytes);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->loader, c.loader);
    EXPECT_EQ(d->width, 64);
    EXPECT_EQ(d->height, 48);  // first page only
    EXPECT_EQ(d->bands, c.bands);
  }
}

TEST(TestImages, DeclaringPngHasTheDeclaredHeader) {
  auto png = pngDeclaring(100000, 100000);
  EXPECT_LT(png.size(), 100u);
  VipsImage* in = vips_image_new_from_buffer(png.data(), png.size(), "", nullptr);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(in->Xsize, 100000);
  EXPECT_EQ(in->Ysize, 100000);
  g_object_unref(in);
}

TEST(TestImages, Base64DecodeAndTempDir) {
  EXPECT_EQ(base64Decode("aGk="), (std::vector<std::uint8_t>{'h', 'i'}));
  EXPECT_EQ(base64Decode(""), std::vector<std::uint8_t>{});
  EXPECT_FALSE(base64Decode("a!=="));
  std::string kept;
  {
    TempDir dir;
    kept = dir.path();
    ASSERT_FALSE(kept.empty());
    EXPECT_TRUE(writeBytes(kept + "/x", std::string("abc")));
    EXPECT_TRUE(std::filesystem::exists(kept + "/x"));
  }
  EXPECT_FALSE(std::filesystem::exists(kept));
}

}  // namespace
}  // namespace testsupport
