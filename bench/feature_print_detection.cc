// How well the feature print tells edited copies of a photo from different
// photos, against the difference hash, on real photos.
//
//   feature_print_detection [--dump FILE] PHOTO...
//
// Every PHOTO (one file per picture, long side at least 640 pixels; smaller
// ones are skipped) is decoded upright and edited in memory the way people
// edit photos; each copy is paired with its original (near pairs). Each
// original and each of its copies is also paired with every other original
// (far pairs). Prints one table: per kind of edit the median and largest
// distance, how many far pairs fall at or below that largest distance, how
// many copies lie above the recommended threshold kSamePhotoDistance
// (missed), the same for the global part alone and for the difference hash
// (in bits), then the ROC AUC of near against far pairs over every kind but
// the mirror, and the goals. --dump writes every pair as tab-separated text.
//
// HEIC copies are written with heif-enc (libheif-examples); everything else
// with libvips.
#include <vips/vips.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "imaging/imaging.h"
#include "featureprint/feature_print.h"
#include "testsupport/images.h"
#include "testsupport/subprocess.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

constexpr int kMinLongSide = 640;
const char* const kHeifEnc = "/usr/bin/heif-enc";
const char* const kMirror = "mirror";

struct VipsRef {
  VipsImage* p = nullptr;
  VipsRef() = default;
  VipsRef(const VipsRef&) = delete;
  VipsRef& operator=(const VipsRef&) = delete;
  VipsRef(VipsRef&& o) noexcept : p(o.p) { o.p = nullptr; }
  ~VipsRef() {
    if (p) g_object_unref(p);
  }
};

Bytes save(VipsImage* image, const std::string& format) {
  void* buf = nullptr;
  size_t len = 0;
  if (vips_image_write_to_buffer(image, format.c_str(), &buf, &len, "strip", TRUE, nullptr)) {
    vips_error_clear();
    return {};
  }
  Bytes out(static_cast<std::uint8_t*>(buf), static_cast<std::uint8_t*>(buf) + len);
  g_free(buf);
  return out;
}

Bytes readFile(const std::string& path) { return imaging::readRegularFile(path).value_or(Bytes{}); }

// HEIC through heif-enc, from a lossless PNG of the picture.
Bytes heic(VipsImage* image, int quality, const std::string& scratch) {
  Bytes png = save(image, ".png[compression=1]");
  std::string in = scratch + "/in.png", out = scratch + "/out.heic";
  std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
  testsupport::RunOptions options;
  options.timeout = std::chrono::minutes(5);
  testsupport::ProcessResult r = testsupport::runProcess({kHeifEnc, "-q", std::to_string(quality), in, "-o", out}, options);
  Bytes bytes = r.exitStatus == 0 ? readFile(out) : Bytes{};
  fs::remove(in);
  fs::remove(out);
  return bytes;
}

struct Copy {
  std::string kind;
  Bytes bytes;
};

// The edited copies of one upright 8-bit sRGB picture. `rng` picks the
// strength of each edit within its range.
std::vector<Copy> editsOf(VipsImage* up, bool heifOriginal, std::mt19937& rng, const std::string& scratch) {
  auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  const int w = up->Xsize, h = up->Ysize;
  std::vector<Copy> out;
  auto add = [&](const std::string& kind, VipsImage* image, const std::string& format) {
    if (image) out.push_back({kind, save(image, format)});
  };

  {  // smaller and re-encoded at low quality
    VipsRef small;
    if (!vips_resize(up, &small.p, uniform(0.25, 0.5), nullptr))
      add("resize 25-50% + q30", small.p, ".jpg[Q=" + std::to_string(int(uniform(25, 40))) + "]");
  }
  {  // cropped by 5-20 %, unevenly
    double f = uniform(0.05, 0.20), left = uniform(0, 1), top = uniform(0, 1);
    int cw = int(w * (1 - f)), ch = int(h * (1 - f));
    VipsRef crop;
    if (!vips_extract_area(up, &crop.p, int((w - cw) * left), int((h - ch) * top), cw, ch, nullptr))
      add("crop 5-20%", crop.p, ".jpg[Q=85]");
  }
  {  // turned by 1-3 degrees either way, cropped to the largest upright rectangle of the same shape
    double degrees = uniform(1, 3) * (rng() % 2 ? 1 : -1), t = std::abs(degrees) * M_PI / 180;
    double a = double(std::max(w, h)) / std::min(w, h);
    double s = 1 / (std::cos(t) + a * std::sin(t));
    VipsRef turned, crop;
    if (!vips_rotate(up, &turned.p, degrees, nullptr)) {
      int cw = int(w * s), ch = int(h * s);
      if (!vips_extract_area(turned.p, &crop.p, (turned.p->Xsize - cw) / 2, (turned.p->Ysize - ch) / 2, cw, ch, nullptr))
        add("tilt 1-3° + crop", crop.p, ".jpg[Q=85]");
    }
  }
  {  // a dark caption or border bar over a tenth of one side
    VipsRef bar, dark, covered;
    int side = int(rng() % 3);  // 0 bottom, 1 top, 2 left
    double f = uniform(0.08, 0.14);
    int bw = side == 2 ? int(w * f) : w, bh = side == 2 ? h : int(h * f);
    if (!vips_black(&bar.p, bw, bh, "bands", 3, nullptr) && !vips_linear1(bar.p, &dark.p, 1.0, 24.0, nullptr)) {
      VipsRef darkU8;
      if (!vips_cast_uchar(dark.p, &darkU8.p, nullptr) &&
          !vips_insert(up, darkU8.p, &covered.p, 0, side == 0 ? h - bh : 0, nullptr))
        add("caption bar", covered.p, ".jpg[Q=85]");
    }
  }
  {  // padded with light borders to another aspect ratio, as a phone screenshot (PNG)
    bool landscape = w >= h;
    int pw = landscape ? w : int(h * 16.0 / 9), ph = landscape ? int(w * 16.0 / 9) : h;
    if (landscape && rng() % 2) ph = w;  // or square
    VipsRef padded, screen;
    double grey = uniform(225, 250);
    VipsArrayDouble* background = vips_array_double_newv(3, grey, grey, grey);
    int failed = vips_embed(up, &padded.p, (pw - w) / 2, (ph - h) / 2, pw, ph, "extend", VIPS_EXTEND_BACKGROUND,
                            "background", background, nullptr);
    vips_area_unref(VIPS_AREA(background));
    if (!failed && !vips_resize(padded.p, &screen.p, 1080.0 / std::min(pw, ph), nullptr))
      add("padding to other aspect", screen.p, ".png");
  }
  {  // brightness, contrast and saturation
    VipsRef lch, changed, back, contrast, u8;
    double chroma = rng() % 2 ? uniform(1.3, 1.6) : uniform(0.5, 0.7);
    double lightness = uniform(-12, 12), gain = uniform(1.1, 1.3);
    double mul[3] = {1, chroma, 1}, addv[3] = {lightness, 0, 0};
    if (!vips_colourspace(up, &lch.p, VIPS_INTERPRETATION_LCH, nullptr) &&
        !vips_linear(lch.p, &changed.p, mul, addv, 3, nullptr) &&
        !vips_colourspace(changed.p, &back.p, VIPS_INTERPRETATION_sRGB, nullptr) &&
        !vips_linear1(back.p, &contrast.p, gain, 128 * (1 - gain), nullptr) && !vips_cast_uchar(contrast.p, &u8.p, nullptr))
      add("brightness/contrast/saturation", u8.p, ".jpg[Q=85]");
  }
  {
    VipsRef grey;
    if (!vips_colourspace(up, &grey.p, VIPS_INTERPRETATION_B_W, nullptr)) add("grey", grey.p, ".jpg[Q=85]");
  }
  add("format WebP", up, ".webp[Q=75]");
  if (heifOriginal) {
    add("format HEIC->JPEG", up, ".jpg[Q=85]");
  } else if (Bytes b = heic(up, 50, scratch); !b.empty()) {
    out.push_back({"format JPEG->HEIC", std::move(b)});
  }
  {
    VipsRef mirrored;
    if (!vips_flip(up, &mirrored.p, VIPS_DIRECTION_HORIZONTAL, nullptr)) add(kMirror, mirrored.p, ".jpg[Q=85]");
  }
  return out;
}

// The photo decoded upright as 8-bit sRGB, held in memory (every edit reads it).
std::optional<VipsRef> uprightPicture(const Bytes& bytes) {
  VipsRef loaded, up, srgb, u8, three, memory;
  if (!(loaded.p = vips_image_new_from_buffer(bytes.data(), bytes.size(), "", nullptr))) return std::nullopt;
  if (vips_autorot(loaded.p, &up.p, nullptr) ||
      vips_colourspace(up.p, &srgb.p, VIPS_INTERPRETATION_sRGB, nullptr) ||
      vips_cast_uchar(srgb.p, &u8.p, nullptr) || vips_extract_band(u8.p, &three.p, 0, "n", 3, nullptr))
    return std::nullopt;
  if (!(memory.p = vips_image_copy_memory(three.p))) return std::nullopt;
  return memory;
}

struct Printed {
  featureprint::FeaturePrint print;
  std::uint64_t hash = 0;
};

const featureprint::VerifiedFeaturePrinter& printer() {
  static const featureprint::VerifiedFeaturePrinter printer;
  return printer;
}

std::optional<Printed> printOf(const Bytes& bytes) {
  std::optional<featureprint::FeaturePrint> print = printer().printFrom(bytes);
  std::optional<imaging::Thumb> thumb = imaging::thumbFrom(bytes, 256);
  std::optional<std::uint64_t> hash = thumb ? imaging::dhash(thumb->image) : std::nullopt;
  if (!print || !hash) return std::nullopt;
  return Printed{std::move(*print), *hash};
}

struct Pair {
  std::string kind;  // empty for far pairs
  std::string what;
  float dist = 0, global = 0;
  int inliers = 0;
  int bits = 0;
};

Pair compare(const Printed& a, const Printed& b) {
  Pair p;
  p.dist = printer().distance(a.print, b.print).value_or(NAN);
  p.global = printer().globalDistance(a.print, b.print).value_or(NAN);
  p.inliers = printer().inliers(a.print, b.print).value_or(-1);
  p.bits = __builtin_popcountll(a.hash ^ b.hash);
  return p;
}

template <typename F>
std::vector<double> valuesOf(const std::vector<Pair>& pairs, F field) {
  std::vector<double> v;
  for (const Pair& p : pairs) v.push_back(field(p));
  std::sort(v.begin(), v.end());
  return v;
}

double median(const std::vector<double>& sorted) {
  if (sorted.empty()) return NAN;
  size_t n = sorted.size();
  return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

size_t countAtMost(const std::vector<double>& sorted, double x) {
  return size_t(std::upper_bound(sorted.begin(), sorted.end(), x) - sorted.begin());
}

// Probability that a far pair is farther apart than a near pair (ties count half).
double rocAuc(const std::vector<double>& nearSorted, const std::vector<double>& farSorted) {
  double wins = 0;
  for (double n : nearSorted) {
    size_t below = size_t(std::lower_bound(farSorted.begin(), farSorted.end(), n) - farSorted.begin());
    size_t atOrBelow = countAtMost(farSorted, n);
    wins += double(farSorted.size() - atOrBelow) + 0.5 * double(atOrBelow - below);
  }
  return wins / (double(nearSorted.size()) * double(farSorted.size()));
}

}  // namespace

int main(int argc, char** argv) {
  imaging::initImaging();
  std::string dumpPath;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--dump" && i + 1 < argc) dumpPath = argv[++i];
    else paths.push_back(arg);
  }
  testsupport::TempDir scratch;
  std::mt19937 rng(20260609);

  struct Photo {
    std::string name;
    Printed original;
    std::vector<std::pair<std::string, Printed>> copies;
  };
  std::vector<Photo> photos;
  std::vector<Pair> near;
  for (const std::string& path : paths) {
    Bytes bytes = readFile(path);
    std::optional<VipsRef> up = bytes.empty() ? std::nullopt : uprightPicture(bytes);
    if (!up || std::max(up->p->Xsize, up->p->Ysize) < kMinLongSide) {
      std::fprintf(stderr, "skipped %s\n", path.c_str());
      continue;
    }
    std::optional<Printed> original = printOf(bytes);
    if (!original) continue;
    Photo photo{fs::path(path).filename().string(), std::move(*original), {}};
    std::string ext = fs::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    for (Copy& c : editsOf(up->p, ext == ".heic" || ext == ".heif", rng, scratch.path())) {
      std::optional<Printed> copy = c.bytes.empty() ? std::nullopt : printOf(c.bytes);
      if (!copy) {
        std::fprintf(stderr, "no %s copy of %s\n", c.kind.c_str(), photo.name.c_str());
        continue;
      }
      Pair p = compare(photo.original, *copy);
      p.kind = c.kind;
      p.what = photo.name;
      near.push_back(p);
      photo.copies.emplace_back(c.kind, std::move(*copy));
    }
    std::fprintf(stderr, "%zu %s\n", photos.size() + 1, photo.name.c_str());
    photos.push_back(std::move(photo));
  }

  std::vector<Pair> far;
  for (size_t i = 0; i < photos.size(); ++i)
    for (size_t j = 0; j < photos.size(); ++j) {
      if (i == j) continue;
      if (i < j) {
        Pair p = compare(photos[i].original, photos[j].original);
        p.what = photos[i].name + " vs " + photos[j].name;
        far.push_back(p);
      }
      for (const auto& [kind, copy] : photos[i].copies) {
        Pair p = compare(copy, photos[j].original);
        p.what = photos[i].name + " (" + kind + ") vs " + photos[j].name;
        far.push_back(p);
      }
    }

  if (!dumpPath.empty()) {
    std::ofstream dump(dumpPath);
    dump << "near\tkind\twhat\tdist\tglobal\tinliers\tbits\n";
    for (const auto* set : {&near, &far})
      for (const Pair& p : *set)
        dump << (set == &near) << '\t' << p.kind << '\t' << p.what << '\t' << p.dist << '\t' << p.global << '\t'
             << p.inliers << '\t' << p.bits << '\n';
  }

  auto dist = [](const Pair& p) { return double(p.dist); };
  auto global = [](const Pair& p) { return double(p.global); };
  auto bits = [](const Pair& p) { return double(p.bits); };
  const std::vector<double> farDist = valuesOf(far, dist), farGlobal = valuesOf(far, global), farBits = valuesOf(far, bits);
  const double threshold = featureprint::kSamePhotoDistance;
  const double farP1 = farDist.empty() ? NAN : farDist[farDist.size() / 100];

  std::vector<std::string> kinds;
  for (const Pair& p : near)
    if (std::find(kinds.begin(), kinds.end(), p.kind) == kinds.end()) kinds.push_back(p.kind);
  std::stable_partition(kinds.begin(), kinds.end(), [](const std::string& k) { return k != kMirror; });

  std::printf("%zu photos, %zu near pairs, %zu far pairs; same-photo threshold %.2f; 1st percentile of far distances %.3f\n\n",
              photos.size(), near.size(), far.size(), threshold, farP1);
  std::printf("%-30s %5s | %7s %7s %7s %7s | %7s %7s | %6s %6s %7s\n", "", "", "print", "", "far", "missed", "global",
              "far", "dhash", "", "far");
  std::printf("%-30s %5s | %7s %7s %7s %7s | %7s %7s | %6s %6s %7s\n", "edit", "pairs", "median", "max", "<=max",
              ">thr", "max", "<=max", "median", "max", "<=max");
  std::vector<Pair> nearButMirror;
  bool perKindGoal = true;
  for (const std::string& kind : kinds) {
    std::vector<Pair> set;
    for (const Pair& p : near)
      if (p.kind == kind) set.push_back(p);
    if (kind != kMirror) nearButMirror.insert(nearButMirror.end(), set.begin(), set.end());
    std::vector<double> d = valuesOf(set, dist), g = valuesOf(set, global), b = valuesOf(set, bits);
    if (kind != kMirror && !(d.back() < farP1)) perKindGoal = false;
    std::printf("%-30s %5zu | %7.3f %7.3f %7zu %7zu | %7.3f %7zu | %6.0f %6.0f %7zu\n", kind.c_str(), set.size(),
                median(d), d.back(), countAtMost(farDist, d.back()), set.size() - countAtMost(d, threshold), g.back(),
                countAtMost(farGlobal, g.back()), median(b), b.back(), countAtMost(farBits, b.back()));
  }
  size_t falseMatches = countAtMost(farDist, threshold);
  std::vector<double> nd = valuesOf(nearButMirror, dist), ng = valuesOf(nearButMirror, global),
                      nb = valuesOf(nearButMirror, bits);
  std::printf("\nROC AUC, every edit but the mirror: print %.5f, global part alone %.5f, dhash %.5f\n",
              rocAuc(nd, farDist), rocAuc(ng, farGlobal), rocAuc(nb, farBits));
  std::printf("at threshold %.2f: %zu of %zu edited copies missed (mirror excluded), %zu of %zu far pairs matched\n",
              threshold, nd.size() - countAtMost(nd, threshold), nd.size(), falseMatches, far.size());
  if (!far.empty()) {
    auto closest = std::min_element(far.begin(), far.end(), [](const Pair& a, const Pair& b) { return a.dist < b.dist; });
    std::printf("closest far pair: %.3f (%s, %d inliers)\n", closest->dist, closest->what.c_str(), closest->inliers);
  }
  if (!nearButMirror.empty()) {
    auto worst = std::max_element(nearButMirror.begin(), nearButMirror.end(),
                                  [](const Pair& a, const Pair& b) { return a.dist < b.dist; });
    std::printf("farthest edited copy: %.3f (%s of %s, %d inliers)\n", worst->dist, worst->kind.c_str(),
                worst->what.c_str(), worst->inliers);
  }
  std::printf("goals: AUC >= 0.999 %s; every kind's max below the far 1st percentile %s; no far pair at or below the threshold %s\n",
              rocAuc(nd, farDist) >= 0.999 ? "met" : "NOT met", perKindGoal ? "met" : "NOT met",
              falseMatches == 0 ? "met" : "NOT met");
  return 0;
}
