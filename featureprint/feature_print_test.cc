#include "featureprint/feature_print.h"

#include <vips/vips.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/imaging.h"
#include "testsupport/images.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

const std::string kCorpus = CORPUS_DIR;

class FeaturePrintTest : public ::testing::Test {
 protected:
  void SetUp() override { imaging::initImaging(); }

  featureprint::FeaturePrint printOf(const Bytes& bytes) {
    std::optional<featureprint::FeaturePrint> p = printer.printFrom(bytes);
    EXPECT_TRUE(p.has_value());
    return p.value_or(featureprint::FeaturePrint{});
  }
  float between(const featureprint::FeaturePrint& a, const featureprint::FeaturePrint& b) {
    std::optional<float> d = printer.distance(a, b);
    EXPECT_TRUE(d.has_value());
    return d.value_or(NAN);
  }

  const featureprint::FeaturePrinter& printer = featureprint::defaultFeaturePrinter();
};

Bytes readFile(const std::string& path) { return imaging::readRegularFile(path).value_or(Bytes{}); }

Bytes synthetic(testsupport::Picture look, const std::string& suffix = ".jpg") {
  return testsupport::encodeImage(look, suffix).value_or(Bytes{});
}

TEST_F(FeaturePrintTest, IdenticalPicturesAreAtZeroAndDistanceIsSymmetric) {
  testsupport::Picture look;
  look.width = 320;
  look.height = 240;
  featureprint::FeaturePrint a = printOf(synthetic(look));
  featureprint::FeaturePrint again = printOf(synthetic(look));
  EXPECT_EQ(between(a, again), 0.0f);

  look.pattern = testsupport::Pattern::kGradient;
  featureprint::FeaturePrint b = printOf(synthetic(look));
  EXPECT_GT(between(a, b), 0.0f);
  EXPECT_EQ(between(a, b), between(b, a));
  EXPECT_EQ(a.values.size(), b.values.size());
}

TEST_F(FeaturePrintTest, TurnedFilesPrintAsTheirUprightPicture) {
  testsupport::Picture look;
  look.width = 400;
  look.height = 300;
  featureprint::FeaturePrint upright = printOf(synthetic(look));
  for (int orientation : {3, 6, 8}) {
    testsupport::Picture turned = look;
    turned.orientation = orientation;
    if (orientation >= 5) std::swap(turned.width, turned.height);
    EXPECT_LT(between(upright, printOf(synthetic(turned))), 0.1f) << "orientation " << orientation;
  }
}

TEST_F(FeaturePrintTest, FlatTinyAndTransparentPicturesStillPrintAndCompare) {
  testsupport::Picture flat;
  flat.pattern = testsupport::Pattern::kUniform;
  testsupport::Picture tiny;
  tiny.width = 1;
  tiny.height = 1;
  testsupport::Picture clear;
  clear.alpha = true;
  testsupport::Picture photo;
  photo.width = 640;
  photo.height = 480;
  photo.pattern = testsupport::Pattern::kPhoto;
  const featureprint::FeaturePrint textured = printOf(synthetic(photo));
  ASSERT_FALSE(textured.local.empty());
  for (const Bytes& bytes : {synthetic(flat), synthetic(tiny, ".png"), synthetic(clear, ".png")}) {
    featureprint::FeaturePrint p = printOf(bytes);
    for (float v : p.values) ASSERT_TRUE(std::isfinite(v));
    EXPECT_EQ(between(p, p), 0.0f);
    // Without keypoints the global part alone decides: finite, and not the
    // same photo as a textured picture.
    float d = between(p, textured);
    EXPECT_TRUE(std::isfinite(d));
    EXPECT_GT(d, featureprint::kSamePhotoDistance);
  }
  EXPECT_TRUE(printOf(synthetic(flat)).local.empty());
}

// A picture drawn pixel by pixel, encoded as `suffix` (".jpg", ".png").
template <class Paint>
Bytes painted(int w, int h, Paint paint, const std::string& suffix = ".jpg") {
  std::vector<std::uint8_t> rgb(size_t(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      std::array<std::uint8_t, 3> c = paint(double(x) / std::max(1, w - 1), double(y) / std::max(1, h - 1));
      std::copy(c.begin(), c.end(), rgb.begin() + 3 * (size_t(y) * w + x));
    }
  VipsImage* image = vips_image_new_from_memory(rgb.data(), rgb.size(), w, h, 3, VIPS_FORMAT_UCHAR);
  void* buf = nullptr;
  size_t len = 0;
  int failed = image ? vips_image_write_to_buffer(image, suffix.c_str(), &buf, &len, nullptr) : -1;
  if (image) g_object_unref(image);
  if (failed) return {};
  Bytes out(static_cast<std::uint8_t*>(buf), static_cast<std::uint8_t*>(buf) + len);
  g_free(buf);
  return out;
}

std::array<std::uint8_t, 3> mix(std::array<std::uint8_t, 3> from, std::array<std::uint8_t, 3> to, double t) {
  std::array<std::uint8_t, 3> c;
  for (int k = 0; k < 3; ++k) c[k] = std::uint8_t(std::lround(from[k] + (to[k] - from[k]) * t));
  return c;
}

TEST_F(FeaturePrintTest, PicturesWithoutStructureAreTheSameOnlyInTheSameColours) {
  using Rgb = std::array<std::uint8_t, 3>;
  struct Named {
    std::string what;
    Bytes bytes;
  };
  auto solid = [](Rgb c, int w, int h, const std::string& suffix = ".jpg") {
    return painted(w, h, [c](double, double) { return c; }, suffix);
  };
  auto ramp = [](Rgb from, Rgb to) {
    return painted(400, 300, [from, to](double x, double) { return mix(from, to, x); });
  };
  const std::vector<Named> pictures = {
      {"white", solid({255, 255, 255}, 320, 240)},
      {"black", solid({0, 0, 0}, 320, 240)},
      {"mid grey", solid({128, 128, 128}, 320, 240)},
      {"red 1x1", solid({220, 30, 30}, 1, 1, ".png")},
      {"blue 1x1", solid({30, 30, 220}, 1, 1, ".png")},
      {"screenshot blue", solid({40, 90, 200}, 640, 400, ".png")},
      {"light ramp", ramp({255, 255, 255}, {170, 170, 170})},
      {"dark ramp", ramp({90, 90, 90}, {0, 0, 0})},
      {"sunset ramp", ramp({250, 120, 30}, {200, 40, 90})},
      {"sea ramp", ramp({20, 160, 150}, {20, 60, 160})},
  };
  std::vector<featureprint::FeaturePrint> prints;
  for (const Named& p : pictures) {
    prints.push_back(printOf(p.bytes));
    EXPECT_LT(prints.back().local.size() / featureprint::VerifiedFeaturePrinter::kLocalFeatureBytes,
              size_t(featureprint::VerifiedFeaturePrinter::kMinFeatures))
        << p.what;
  }
  for (size_t i = 0; i < prints.size(); ++i)
    for (size_t j = i + 1; j < prints.size(); ++j) {
      EXPECT_GT(between(prints[i], prints[j]), featureprint::kSamePhotoDistance)
          << pictures[i].what << " vs " << pictures[j].what;
      EXPECT_EQ(between(prints[i], prints[j]), between(prints[j], prints[i]));
    }

  // Copies that keep the colour stay the same picture: a blank page
  // re-encoded smaller, a grey ramp at a lower quality and half the size.
  EXPECT_LE(between(printOf(solid({248, 248, 244}, 850, 1100)), printOf(solid({247, 248, 243}, 425, 550, ".png"))),
            featureprint::kSamePhotoDistance);
  testsupport::Picture grey;
  grey.pattern = testsupport::Pattern::kGradient;
  grey.width = 400;
  grey.height = 300;
  testsupport::Picture greyAgain = grey;
  greyAgain.quality = 40;
  greyAgain.width = 200;
  greyAgain.height = 150;
  EXPECT_LE(between(printOf(synthetic(grey)), printOf(synthetic(greyAgain))), featureprint::kSamePhotoDistance);
}

TEST_F(FeaturePrintTest, BytesThatAreNoImageGiveNoPrint) {
  const std::string text = "just some text, not a picture";
  EXPECT_FALSE(printer.printFrom(Bytes(text.begin(), text.end())).has_value());
  EXPECT_FALSE(printer.printFrom(Bytes{}).has_value());
}

TEST_F(FeaturePrintTest, PrintsThatCannotBeComparedGiveNoDistance) {
  testsupport::Picture look;
  featureprint::FeaturePrint good = printOf(synthetic(look));
  featureprint::FeaturePrint otherRevision = good;
  otherRevision.revision = 99;
  featureprint::FeaturePrint shorter = good;
  shorter.values.pop_back();
  featureprint::FeaturePrint notFinite = good;
  notFinite.values[3] = NAN;
  featureprint::FeaturePrint tornLocal = good;
  tornLocal.local.assign(featureprint::VerifiedFeaturePrinter::kLocalFeatureBytes + 1, 0);
  for (const auto* bad : {&otherRevision, &shorter, &notFinite, &tornLocal}) {
    EXPECT_FALSE(printer.distance(good, *bad).has_value());
    EXPECT_FALSE(printer.distance(*bad, good).has_value());
  }
}

// ---- near duplicates against different scenes, on real photos ----

// libvips helpers that make the altered copies a test compares.
struct VipsRef {
  VipsImage* p = nullptr;
  ~VipsRef() {
    if (p) g_object_unref(p);
  }
};

Bytes jpegOf(VipsImage* image, int quality) {
  void* buf = nullptr;
  size_t len = 0;
  if (vips_jpegsave_buffer(image, &buf, &len, "Q", quality, "strip", TRUE, nullptr)) return {};
  Bytes out(static_cast<std::uint8_t*>(buf), static_cast<std::uint8_t*>(buf) + len);
  g_free(buf);
  return out;
}

struct Copy {
  std::string what;
  Bytes bytes;
};

// The copies of an upright photo: a quarter of its size, re-encoded at
// quality 30, cropped by 5 % on each side, brightened by 10 %, grey.
std::vector<Copy> alteredCopies(const std::string& path) {
  VipsRef loaded, up, small, crop, bright, brightU8, grey;
  if (!(loaded.p = vips_image_new_from_file(path.c_str(), nullptr))) return {};
  if (vips_autorot(loaded.p, &up.p, nullptr)) return {};
  if (up.p->Bands > 3) {
    VipsRef rgb;
    if (vips_extract_band(up.p, &rgb.p, 0, "n", 3, nullptr)) return {};
    std::swap(up.p, rgb.p);
  }
  const int w = up.p->Xsize, h = up.p->Ysize;
  if (vips_resize(up.p, &small.p, 0.25, nullptr) ||
      vips_extract_area(up.p, &crop.p, w / 20, h / 20, w - 2 * (w / 20), h - 2 * (h / 20), nullptr) ||
      vips_linear1(up.p, &bright.p, 1.1, 0.0, nullptr) || vips_cast_uchar(bright.p, &brightU8.p, nullptr) ||
      vips_colourspace(up.p, &grey.p, VIPS_INTERPRETATION_B_W, nullptr))
    return {};
  return {{"quarter size", jpegOf(small.p, 90)},
          {"quality 30", jpegOf(up.p, 30)},
          {"cropped 5%", jpegOf(crop.p, 90)},
          {"brightened 10%", jpegOf(brightU8.p, 90)},
          {"grey", jpegOf(grey.p, 90)}};
}

// The edits that move or hide part of the picture, of an upright photo: a
// dark caption bar over its bottom tenth, a 2 degree tilt cropped to its
// largest upright rectangle, and a 15 % crop off one corner.
std::vector<Copy> hardCopies(const std::string& path) {
  VipsRef loaded, up, bar, barU8, captioned, turned, tilted, crop;
  if (!(loaded.p = vips_image_new_from_file(path.c_str(), nullptr))) return {};
  if (vips_autorot(loaded.p, &up.p, nullptr)) return {};
  const int w = up.p->Xsize, h = up.p->Ysize;
  const double t = 2 * M_PI / 180, a = double(std::max(w, h)) / std::min(w, h);
  const double keep = 1 / (std::cos(t) + a * std::sin(t));
  if (vips_black(&bar.p, w, h / 10, "bands", up.p->Bands, nullptr) || vips_cast_uchar(bar.p, &barU8.p, nullptr) ||
      vips_insert(up.p, barU8.p, &captioned.p, 0, h - h / 10, nullptr) || vips_rotate(up.p, &turned.p, 2.0, nullptr) ||
      vips_extract_area(turned.p, &tilted.p, (turned.p->Xsize - int(w * keep)) / 2,
                        (turned.p->Ysize - int(h * keep)) / 2, int(w * keep), int(h * keep), nullptr) ||
      vips_extract_area(up.p, &crop.p, 0, 0, w * 85 / 100, h * 85 / 100, nullptr))
    return {};
  return {{"caption bar", jpegOf(captioned.p, 85)}, {"tilted 2 degrees", jpegOf(tilted.p, 85)},
          {"cropped 15%", jpegOf(crop.p, 85)}};
}

struct Pair {
  std::string what;
  float distance;
};

TEST_F(FeaturePrintTest, NearDuplicatesAreCloserThanEveryDifferentScene) {
  if (!fs::is_directory(kCorpus + "/cameras")) GTEST_SKIP() << "corpus not found at " << kCorpus;

  std::vector<Pair> near, different;

  // A photo against altered copies of itself.
  const std::vector<std::string> originals = {
      "cameras/Canon_40D.jpg",     "cameras/Nikon_D70.jpg",     "cameras/Sony_HDR-HC3.jpg",
      "cameras/PaintTool_sample.jpg", "cameras/kodak-dc210.jpg", "cameras/Reconyx_HC500_Hyperfire.jpg",
      "cameras/olympus-c960.jpg",  "heif/iphone_13_pro_max.HEIC", "heif/samplefilehub.heif",
      "orientation/Landscape_1.jpg"};
  for (const std::string& name : originals) {
    featureprint::FeaturePrint original = printOf(readFile(kCorpus + "/" + name));
    std::vector<Copy> copies = alteredCopies(kCorpus + "/" + name);
    ASSERT_EQ(copies.size(), 5u) << name;
    for (const Copy& c : copies) near.push_back({name + " vs " + c.what, between(original, printOf(c.bytes))});
  }
  // The edits that need geometric verification, on the photos large enough
  // to have keypoints.
  for (const char* file : {"cameras/kodak-dc210.jpg", "cameras/olympus-c960.jpg", "cameras/Reconyx_HC500_Hyperfire.jpg",
                           "heif/samplefilehub.heif", "orientation/Landscape_1.jpg"}) {
    const std::string name = file;
    featureprint::FeaturePrint original = printOf(readFile(kCorpus + "/" + name));
    std::vector<Copy> copies = hardCopies(kCorpus + "/" + name);
    ASSERT_EQ(copies.size(), 3u) << name;
    for (const Copy& c : copies) {
      featureprint::FeaturePrint copy = printOf(c.bytes);
      near.push_back({name + " vs " + c.what, between(original, copy)});
      EXPECT_EQ(near.back().distance, between(copy, original)) << near.back().what;
      EXPECT_LE(near.back().distance, featureprint::kSamePhotoDistance) << near.back().what;
    }
  }

  // The orientation files: two photos (a landscape and a portrait shot),
  // each stored nine times with every orientation tag; within a family they
  // show the same upright picture, across families two different ones.
  std::map<std::string, std::vector<featureprint::FeaturePrint>> families;
  for (const std::string family : {"Landscape", "Portrait"})
    for (int n = 0; n <= 8; ++n)
      families[family].push_back(printOf(readFile(kCorpus + "/orientation/" + family + "_" + std::to_string(n) + ".jpg")));
  for (auto& [family, prints] : families)
    for (size_t i = 0; i < prints.size(); ++i)
      for (size_t j = i + 1; j < prints.size(); ++j)
        near.push_back({family + " " + std::to_string(i) + " vs " + std::to_string(j), between(prints[i], prints[j])});
  for (size_t i = 0; i < families["Landscape"].size(); ++i)
    different.push_back({"Landscape " + std::to_string(i) + " vs Portrait " + std::to_string(i),
                         between(families["Landscape"][i], families["Portrait"][i])});

  // Photos of different scenes.
  std::vector<std::pair<std::string, featureprint::FeaturePrint>> scenes;
  for (const char* dir : {"cameras", "heif"}) {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(kCorpus + "/" + dir))
      if (e.path().filename() != "tn.jpg") files.push_back(e.path());  // the iPhone HEIC's own preview: the same shot
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) scenes.push_back({f.filename().string(), printOf(readFile(f.string()))});
  }
  ASSERT_GE(scenes.size(), 30u);
  for (size_t i = 0; i < scenes.size(); ++i)
    for (size_t j = i + 1; j < scenes.size(); ++j)
      different.push_back({scenes[i].first + " vs " + scenes[j].first, between(scenes[i].second, scenes[j].second)});

  auto byDistance = [](const Pair& a, const Pair& b) { return a.distance < b.distance; };
  const Pair worstNear = *std::max_element(near.begin(), near.end(), byDistance);
  const Pair closestDifferent = *std::min_element(different.begin(), different.end(), byDistance);
  double mean = 0;
  for (const Pair& p : different) mean += p.distance;
  mean /= different.size();
  std::printf("near duplicates: %zu pairs, largest %.3f (%s)\n", near.size(), worstNear.distance, worstNear.what.c_str());
  std::printf("different scenes: %zu pairs, smallest %.3f (%s), mean %.3f\n", different.size(),
              closestDifferent.distance, closestDifferent.what.c_str(), mean);

  EXPECT_LT(worstNear.distance, closestDifferent.distance)
      << worstNear.what << " is farther apart than " << closestDifferent.what;
  // With room to spare, and on the advertised scale.
  EXPECT_LT(worstNear.distance, 0.35f) << worstNear.what;
  EXPECT_GT(closestDifferent.distance, 1.5f * worstNear.distance) << closestDifferent.what;
  EXPECT_NEAR(mean, 1.0, 0.25);
}

}  // namespace
