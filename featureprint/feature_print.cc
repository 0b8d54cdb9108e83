#include "featureprint/feature_print.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <numbers>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/core/ocl.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "imaging/imaging.h"
#include "featureprint/colour_difference.h"

namespace featureprint {
namespace {

constexpr int kGrid = 32;       // side of the resampled grid
constexpr int kLumaBlock = 6;   // low-frequency DCT block of the luma grid
constexpr int kCells = 4;       // edge histogram cells per side
constexpr int kOrientations = 6;
constexpr int kChromaGrid = 8;  // side of the chroma grid
constexpr int kChromaCoefficients = 6;  // per chroma channel, in zigzag order

constexpr int kLumaCount = kLumaBlock * kLumaBlock - 1;
constexpr int kEdgeCount = kCells * kCells * kOrientations;
constexpr int kChromaCount = 2 * kChromaCoefficients;
constexpr int kLumaAt = 0;
constexpr int kEdgeAt = kLumaAt + kLumaCount;
constexpr int kChromaAt = kEdgeAt + kEdgeCount;
constexpr int kColourfulnessAt = kChromaAt + kChromaCount;
constexpr int kPrintLength = kColourfulnessAt + 1;

// Weights of the three parts in the distance, and the scale that brings
// unrelated photos to about 1. Found by measuring near-duplicate and
// different-scene pairs of real photos (see feature_print_test.cc).
constexpr float kLumaWeight = 1.0f;
constexpr float kEdgeWeight = 1.0f;
constexpr float kChromaWeight = 1.5f;
constexpr float kChromaScale = 2.0f;      // chroma coefficient distance -> about 0..1
constexpr float kColourfulEnough = 0.04f; // colourfulness above which colour counts fully
constexpr float kDistanceScale = 2.1f;

using Grid = std::array<float, kGrid * kGrid>;

// Area-weighted resampling of one channel of `src` (w x h, `stride` floats a
// pixel, channel offset `c`) to n x n: every output cell is the mean of the
// source area it covers, with fractional pixels weighted by their overlap.
std::vector<float> resampleArea(const std::vector<float>& src, int w, int h, int stride, int c, int n) {
  auto weights = [n](int size) {
    // weights[o] = list of (source index, weight) for output cell o.
    std::vector<std::vector<std::pair<int, float>>> out(n);
    double step = double(size) / n;
    for (int o = 0; o < n; ++o) {
      double lo = o * step, hi = (o + 1) * step;
      int first = int(std::floor(lo)), last = std::min(size - 1, int(std::ceil(hi)) - 1);
      double total = 0;
      for (int s = first; s <= last; ++s) {
        double wgt = std::min<double>(hi, s + 1) - std::max<double>(lo, s);
        if (wgt > 0) {
          out[o].push_back({s, float(wgt)});
          total += wgt;
        }
      }
      for (auto& p : out[o]) p.second = float(p.second / total);
    }
    return out;
  };
  auto wx = weights(w), wy = weights(h);
  std::vector<float> rows(size_t(h) * n);  // horizontal pass
  for (int y = 0; y < h; ++y)
    for (int o = 0; o < n; ++o) {
      float sum = 0;
      for (auto [s, wgt] : wx[o]) sum += wgt * src[(size_t(y) * w + s) * stride + c];
      rows[size_t(y) * n + o] = sum;
    }
  std::vector<float> out(size_t(n) * n);
  for (int o = 0; o < n; ++o)
    for (int x = 0; x < n; ++x) {
      float sum = 0;
      for (auto [s, wgt] : wy[o]) sum += wgt * rows[size_t(s) * n + x];
      out[size_t(o) * n + x] = sum;
    }
  return out;
}

// Orthonormal DCT-II of an n x n grid, only the k x k lowest frequencies.
std::vector<float> lowDct(const std::vector<float>& grid, int n, int k) {
  std::vector<double> basis(size_t(k) * n);
  for (int u = 0; u < k; ++u) {
    double scale = u == 0 ? std::sqrt(1.0 / n) : std::sqrt(2.0 / n);
    for (int x = 0; x < n; ++x) basis[size_t(u) * n + x] = scale * std::cos(std::numbers::pi * (2 * x + 1) * u / (2.0 * n));
  }
  std::vector<double> rows(size_t(n) * k);  // rows[y][u]
  for (int y = 0; y < n; ++y)
    for (int u = 0; u < k; ++u) {
      double sum = 0;
      for (int x = 0; x < n; ++x) sum += basis[size_t(u) * n + x] * grid[size_t(y) * n + x];
      rows[size_t(y) * k + u] = sum;
    }
  std::vector<float> out(size_t(k) * k);  // out[v][u]
  for (int v = 0; v < k; ++v)
    for (int u = 0; u < k; ++u) {
      double sum = 0;
      for (int y = 0; y < n; ++y) sum += basis[size_t(v) * n + y] * rows[size_t(y) * k + u];
      out[size_t(v) * k + u] = float(sum);
    }
  return out;
}

void normalize(std::span<float> v) {
  double sum = 0;
  for (float x : v) sum += double(x) * x;
  if (sum < 1e-12) {
    std::fill(v.begin(), v.end(), 0.0f);
    return;
  }
  float inv = float(1.0 / std::sqrt(sum));
  for (float& x : v) x *= inv;
}

float euclidean(std::span<const float> a, std::span<const float> b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += double(a[i] - b[i]) * (a[i] - b[i]);
  return float(std::sqrt(sum));
}

// Magnitude-weighted orientation histograms of the luma grid's gradients,
// one per cell, each orientation shared linearly between its two nearest bins.
void edgeHistogram(const std::vector<float>& luma, std::span<float> out) {
  std::fill(out.begin(), out.end(), 0.0f);
  const int cell = kGrid / kCells;
  auto at = [&](int x, int y) {
    x = std::clamp(x, 0, kGrid - 1);
    y = std::clamp(y, 0, kGrid - 1);
    return luma[size_t(y) * kGrid + x];
  };
  for (int y = 0; y < kGrid; ++y)
    for (int x = 0; x < kGrid; ++x) {
      float gx = at(x + 1, y) - at(x - 1, y);
      float gy = at(x, y + 1) - at(x, y - 1);
      float mag = std::sqrt(gx * gx + gy * gy);
      if (mag <= 0) continue;
      float angle = std::atan2(gy, gx);  // -pi..pi; orientation is modulo pi
      if (angle < 0) angle += float(std::numbers::pi);
      float pos = angle / float(std::numbers::pi) * kOrientations - 0.5f;
      int lo = int(std::floor(pos));
      float frac = pos - lo;
      int b0 = (lo + kOrientations) % kOrientations, b1 = (lo + 1) % kOrientations;
      // Each pixel also shares its vote between the (up to) four nearest
      // cells, so a small shift or crop moves votes gradually.
      float cx = (x + 0.5f) / cell - 0.5f, cy = (y + 0.5f) / cell - 0.5f;
      int x0 = int(std::floor(cx)), y0 = int(std::floor(cy));
      float fx = cx - x0, fy = cy - y0;
      for (int dy = 0; dy < 2; ++dy)
        for (int dx = 0; dx < 2; ++dx) {
          int ux = x0 + dx, uy = y0 + dy;
          if (ux < 0 || uy < 0 || ux >= kCells || uy >= kCells) continue;
          float share = mag * (dx ? fx : 1 - fx) * (dy ? fy : 1 - fy);
          float* h = &out[size_t(uy * kCells + ux) * kOrientations];
          h[b0] += share * (1 - frac);
          h[b1] += share * frac;
        }
    }
  for (float& v : out) v = std::sqrt(v);
  normalize(out);
}

// Zigzag order of the first coefficients of an 8 x 8 block, as (v, u).
constexpr std::array<std::pair<int, int>, kChromaCoefficients> kZigzag = {
    {{0, 0}, {0, 1}, {1, 0}, {2, 0}, {1, 1}, {0, 2}}};

}  // namespace

std::optional<FeaturePrint> LayoutFeaturePrinter::printPixels(const imaging::RgbPixels& pixels) const {
  const int w = pixels.width, h = pixels.height;
  if (w <= 0 || h <= 0 || pixels.rgb.size() < size_t(w) * h * 3) return std::nullopt;

  // Luma (0..1) and chroma (about -0.5..0.5), BT.601 as JPEG uses them.
  std::vector<float> ycc(size_t(w) * h * 3);
  for (size_t i = 0; i < size_t(w) * h; ++i) {
    float r = pixels.rgb[3 * i] / 255.0f, g = pixels.rgb[3 * i + 1] / 255.0f, b = pixels.rgb[3 * i + 2] / 255.0f;
    ycc[3 * i] = 0.299f * r + 0.587f * g + 0.114f * b;
    ycc[3 * i + 1] = -0.168736f * r - 0.331264f * g + 0.5f * b;
    ycc[3 * i + 2] = 0.5f * r - 0.418688f * g - 0.081312f * b;
  }

  FeaturePrint print;
  print.revision = kRevision;
  print.values.assign(kPrintLength, 0.0f);
  std::span<float> values(print.values);

  std::vector<float> luma = resampleArea(ycc, w, h, 3, 0, kGrid);
  std::vector<float> lumaDct = lowDct(luma, kGrid, kLumaBlock);
  std::copy(lumaDct.begin() + 1, lumaDct.end(), values.begin() + kLumaAt);  // DC dropped
  normalize(values.subspan(kLumaAt, kLumaCount));

  edgeHistogram(luma, values.subspan(kEdgeAt, kEdgeCount));

  double colourSum = 0;
  for (int c = 0; c < 2; ++c) {
    std::vector<float> chroma = resampleArea(ycc, w, h, 3, 1 + c, kChromaGrid);
    std::vector<float> dct = lowDct(chroma, kChromaGrid, 3);
    for (int k = 0; k < kChromaCoefficients; ++k) {
      auto [v, u] = kZigzag[k];
      values[kChromaAt + c * kChromaCoefficients + k] = dct[size_t(v) * 3 + u] / kChromaGrid;
    }
    for (float x : chroma) colourSum += double(x) * x;
  }
  values[kColourfulnessAt] = float(std::sqrt(colourSum / (kChromaGrid * kChromaGrid)));
  return print;
}

namespace {

// The pixels of a decoded picture, if there is one.
std::optional<imaging::RgbPixels> pixelsOf(const std::optional<imaging::Thumb>& thumb) {
  if (!thumb) return std::nullopt;
  return imaging::rgbPixels(thumb->image);
}

}  // namespace

std::optional<FeaturePrint> LayoutFeaturePrinter::printFrom(std::span<const std::uint8_t> encoded) const {
  std::optional<imaging::RgbPixels> pixels = pixelsOf(imaging::thumbFrom(encoded, kThumbBound));
  return pixels ? printPixels(*pixels) : std::nullopt;
}

namespace {

// The revision-1 distance of two global parts; nothing when they cannot be
// compared (wrong length, values that are not finite).
std::optional<float> layoutDistance(std::span<const float> va, std::span<const float> vb) {
  if (va.size() != size_t(kPrintLength) || vb.size() != size_t(kPrintLength)) return std::nullopt;
  for (size_t i = 0; i < va.size(); ++i)
    if (!std::isfinite(va[i]) || !std::isfinite(vb[i])) return std::nullopt;

  // Unit vectors: 0 when equal, about sqrt(2) when unrelated.
  float luma = euclidean(va.subspan(kLumaAt, kLumaCount), vb.subspan(kLumaAt, kLumaCount)) / std::numbers::sqrt2_v<float>;
  float edge = euclidean(va.subspan(kEdgeAt, kEdgeCount), vb.subspan(kEdgeAt, kEdgeCount)) / std::numbers::sqrt2_v<float>;
  float chroma = std::min(1.5f, kChromaScale * euclidean(va.subspan(kChromaAt, kChromaCount), vb.subspan(kChromaAt, kChromaCount)));
  // Colour counts as far as both pictures have it.
  float colour = std::clamp(std::min(va[kColourfulnessAt], vb[kColourfulnessAt]) / kColourfulEnough, 0.0f, 1.0f);

  float weights = kLumaWeight + kEdgeWeight + colour * kChromaWeight;
  float d = (kLumaWeight * luma + kEdgeWeight * edge + colour * kChromaWeight * chroma) / weights;
  return kDistanceScale * d;
}

}  // namespace

std::optional<float> LayoutFeaturePrinter::distance(const FeaturePrint& a, const FeaturePrint& b) const {
  if (a.revision != kRevision || b.revision != kRevision) return std::nullopt;
  return layoutDistance(a.values, b.values);
}

// ---- revision 2: global part plus geometrically verified local features ----

namespace {

using Verified = VerifiedFeaturePrinter;

constexpr int kDescriptorBytes = 32;  // ORB
constexpr float kPositionScale = 16;  // positions are stored in 1/16 pixel
static_assert(Verified::kLocalFeatureBytes == kDescriptorBytes + 4);
static_assert(Verified::kWorkingSize * kPositionScale <= 65535);
static_assert(Verified::kLeastWorkingSize <= Verified::kWorkingSize);

// FAST corner thresholds of ORB: its usual one, and the one for smooth pictures.
constexpr int kFastThreshold = 20;
constexpr int kLowFastThreshold = 5;
// Fewer keypoints than this on either side: no geometric verification.
constexpr int kMinFeatures = Verified::kMinFeatures;
// Lowe's ratio test: the best match must be clearly better than the second.
constexpr float kMatchRatio = 0.8f;
// RANSAC: largest reprojection error of an inlier, in working-size pixels.
constexpr double kInlierPixels = 3.0;
// A fitted similarity must keep the scale within this factor either way (a
// 20 % crop enlarges by 1.25, padding to another aspect ratio shrinks by up
// to about 2); fits outside it are chance alignments.
constexpr double kMaxScaleChange = 3.0;

// The local part of a print: n descriptors of 32 bytes, then n positions
// (x, y as 16-bit little-endian numbers of 1/16 pixel).
struct LocalView {
  int count = 0;
  const std::uint8_t* descriptors = nullptr;
  const std::uint8_t* positions = nullptr;

  cv::Point2f at(int k) const {
    const std::uint8_t* p = positions + 4 * k;
    return {float(p[0] | p[1] << 8) / kPositionScale, float(p[2] | p[3] << 8) / kPositionScale};
  }
};

std::optional<LocalView> localView(const std::vector<std::uint8_t>& local) {
  if (local.size() % Verified::kLocalFeatureBytes != 0) return std::nullopt;
  size_t n = local.size() / Verified::kLocalFeatureBytes;
  if (n > size_t(Verified::kMaxLocalFeatures)) return std::nullopt;
  return LocalView{int(n), local.data(), local.data() + n * kDescriptorBytes};
}

// OpenCV on the calling thread only: no worker threads, no OpenCL (whose
// kernel cache writes files), nothing written to standard error.
void setUpOpenCv() {
  static std::once_flag once;
  std::call_once(once, [] {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    cv::setNumThreads(1);
    cv::ocl::setUseOpenCL(false);
  });
}

// ORB keypoints and descriptors of a grey image, packed as LocalView reads
// them; empty when the picture has none (flat, tiny). Smooth pictures
// (paintings, skies, soft wallpapers) have few corners at ORB's usual FAST
// threshold, so it is lowered when they leave the cap far from full.
std::vector<std::uint8_t> localFeatures(const cv::Mat& grey) {
  std::vector<cv::KeyPoint> points;
  cv::Mat descriptors;
  for (int fastThreshold : {kFastThreshold, kLowFastThreshold}) {
    cv::Ptr<cv::ORB> orb = cv::ORB::create(Verified::kMaxLocalFeatures, 1.2f, 8, 31, 0, 2, cv::ORB::HARRIS_SCORE, 31,
                                           fastThreshold);
    orb->detectAndCompute(grey, cv::noArray(), points, descriptors);
    if (int(points.size()) >= Verified::kMaxLocalFeatures / 2) break;
  }
  if (points.empty() || descriptors.rows != int(points.size()) || descriptors.cols != kDescriptorBytes ||
      descriptors.type() != CV_8U)
    return {};
  size_t n = std::min(points.size(), size_t(Verified::kMaxLocalFeatures));
  std::vector<std::uint8_t> out(n * Verified::kLocalFeatureBytes);
  for (size_t k = 0; k < n; ++k) {
    std::copy_n(descriptors.ptr<std::uint8_t>(int(k)), kDescriptorBytes, out.begin() + k * kDescriptorBytes);
    std::uint8_t* p = out.data() + n * kDescriptorBytes + 4 * k;
    auto fixed = [](float v) { return std::uint16_t(std::clamp(std::lround(v * kPositionScale), 0l, 65535l)); };
    std::uint16_t x = fixed(points[k].pt.x), y = fixed(points[k].pt.y);
    p[0] = std::uint8_t(x), p[1] = std::uint8_t(x >> 8), p[2] = std::uint8_t(y), p[3] = std::uint8_t(y >> 8);
  }
  return out;
}

// Inliers of a RANSAC similarity fit to the ratio-tested matches from a's
// features to b's; 0 when either has too few features or no fit is found.
int verifiedInliers(const LocalView& a, const LocalView& b) {
  if (a.count < kMinFeatures || b.count < kMinFeatures) return 0;
  cv::Mat da(a.count, kDescriptorBytes, CV_8U, const_cast<std::uint8_t*>(a.descriptors));
  cv::Mat db(b.count, kDescriptorBytes, CV_8U, const_cast<std::uint8_t*>(b.descriptors));
  std::vector<std::vector<cv::DMatch>> knn;
  cv::BFMatcher(cv::NORM_HAMMING).knnMatch(da, db, knn, 2);

  // Ratio-tested matches, at most one per feature of b (the best), so that
  // one repeated structure cannot vote many times.
  std::vector<int> bestFor(b.count, -1);
  std::vector<float> bestDistance(b.count, 0);
  for (const auto& m : knn) {
    if (m.size() < 2 || !(m[0].distance < kMatchRatio * m[1].distance)) continue;
    int t = m[0].trainIdx;
    if (t < 0 || t >= b.count || m[0].queryIdx < 0 || m[0].queryIdx >= a.count) continue;
    if (bestFor[t] < 0 || m[0].distance < bestDistance[t]) bestFor[t] = m[0].queryIdx, bestDistance[t] = m[0].distance;
  }
  std::vector<cv::Point2f> from, to;
  for (int t = 0; t < b.count; ++t)
    if (bestFor[t] >= 0) from.push_back(a.at(bestFor[t])), to.push_back(b.at(t));
  if (int(from.size()) < 3) return 0;

  std::vector<std::uint8_t> mask;
  cv::Mat fit = cv::estimateAffinePartial2D(from, to, mask, cv::RANSAC, kInlierPixels, 2000, 0.995, 10);
  if (fit.empty() || fit.type() != CV_64F) return 0;
  double scale = std::hypot(fit.at<double>(0, 0), fit.at<double>(1, 0));
  if (!std::isfinite(scale) || scale < 1 / kMaxScaleChange || scale > kMaxScaleChange) return 0;
  return int(std::count(mask.begin(), mask.end(), std::uint8_t(1)));
}

// Rows or columns at the edges that are one flat colour (padding to another
// aspect ratio, a caption or border bar) are left out of the global part, so
// that framing a photo does not move its layout. Nothing is trimmed when it
// would leave less than a quarter of either side (a flat picture).
constexpr int kFlatTolerance = 12;  // largest spread of a channel within a flat row or column
constexpr int kLeastKeptPart = 4;   // at least 1/4 of each side stays

imaging::RgbPixels withoutFlatEdges(const imaging::RgbPixels& in) {
  const int w = in.width, h = in.height;
  int x0 = 0, x1 = w, y0 = 0, y1 = h;  // the kept rectangle, half open
  // Whether the pixels (x, y) for x in [xa, xb), y in [ya, yb) are one flat colour.
  auto flat = [&](int xa, int xb, int ya, int yb) {
    for (int c = 0; c < 3; ++c) {
      int lo = 255, hi = 0;
      for (int y = ya; y < yb; ++y)
        for (int x = xa; x < xb; ++x) {
          int v = in.rgb[3 * (size_t(y) * w + x) + c];
          lo = std::min(lo, v), hi = std::max(hi, v);
        }
      if (hi - lo > kFlatTolerance) return false;
    }
    return true;
  };
  while (y0 < y1 && flat(x0, x1, y0, y0 + 1)) ++y0;
  while (y1 > y0 && flat(x0, x1, y1 - 1, y1)) --y1;
  while (x0 < x1 && flat(x0, x0 + 1, y0, y1)) ++x0;
  while (x1 > x0 && flat(x1 - 1, x1, y0, y1)) --x1;
  if ((x1 - x0) * kLeastKeptPart < w || (y1 - y0) * kLeastKeptPart < h || (x1 - x0 == w && y1 - y0 == h)) return in;
  imaging::RgbPixels out;
  out.width = x1 - x0;
  out.height = y1 - y0;
  out.rgb.reserve(size_t(out.width) * out.height * 3);
  for (int y = y0; y < y1; ++y) {
    auto row = in.rgb.begin() + 3 * (size_t(y) * w + x0);
    out.rgb.insert(out.rgb.end(), row, row + 3 * out.width);
  }
  return out;
}

// The mean CIELAB colour of sRGB pixels (alpha already composited).
Lab meanLab(const imaging::RgbPixels& pixels) {
  cv::Mat rgb(pixels.height, pixels.width, CV_8UC3, const_cast<std::uint8_t*>(pixels.rgb.data()));
  cv::Mat unit, lab;
  rgb.convertTo(unit, CV_32FC3, 1.0 / 255);
  cv::cvtColor(unit, lab, cv::COLOR_RGB2Lab);
  cv::Scalar mean = cv::mean(lab);
  return {float(mean[0]), float(mean[1]), float(mean[2])};
}

// Whether a print's picture has structure: enough keypoints to be verified.
bool hasStructure(const LocalView& view) { return view.count >= kMinFeatures; }

}  // namespace

VerifiedFeaturePrinter::VerifiedFeaturePrinter() { setUpOpenCv(); }

std::optional<FeaturePrint> VerifiedFeaturePrinter::printPixels(const imaging::RgbPixels& pixels) const {
  if (pixels.width <= 0 || pixels.height <= 0 || pixels.rgb.size() < size_t(pixels.width) * pixels.height * 3)
    return std::nullopt;
  const imaging::RgbPixels content = withoutFlatEdges(pixels);
  std::optional<FeaturePrint> print = LayoutFeaturePrinter().printPixels(content);
  if (!print) return std::nullopt;
  print->revision = kRevision;
  try {
    print->colour = meanLab(content);
    cv::Mat rgb(pixels.height, pixels.width, CV_8UC3, const_cast<std::uint8_t*>(pixels.rgb.data()));
    cv::Mat grey;
    cv::cvtColor(rgb, grey, cv::COLOR_RGB2GRAY);
    print->local = localFeatures(grey);
  } catch (const cv::Exception&) {
    print->local.clear();  // the global part alone still compares
  }
  return print;
}

std::optional<FeaturePrint> VerifiedFeaturePrinter::printFrom(std::span<const std::uint8_t> encoded) const {
  std::optional<imaging::RgbPixels> pixels =
      pixelsOf(imaging::reducedFrom(encoded, kLeastWorkingSize, kWorkingSize));
  return pixels ? printPixels(*pixels) : std::nullopt;
}

std::optional<float> VerifiedFeaturePrinter::globalDistance(const FeaturePrint& a, const FeaturePrint& b) const {
  if (a.revision != kRevision || b.revision != kRevision) return std::nullopt;
  return layoutDistance(a.values, b.values);
}

std::optional<int> VerifiedFeaturePrinter::inliers(const FeaturePrint& a, const FeaturePrint& b) const {
  if (a.revision != kRevision || b.revision != kRevision) return std::nullopt;
  std::optional<LocalView> la = localView(a.local), lb = localView(b.local);
  if (!la || !lb) return std::nullopt;
  // The same order whichever print comes first, so the distance is symmetric.
  if (std::lexicographical_compare(b.local.begin(), b.local.end(), a.local.begin(), a.local.end())) std::swap(la, lb);
  try {
    return verifiedInliers(*la, *lb);
  } catch (const cv::Exception&) {
    return 0;
  }
}

std::optional<float> VerifiedFeaturePrinter::distance(const FeaturePrint& a, const FeaturePrint& b) const {
  std::optional<float> global = globalDistance(a, b);
  std::optional<int> n = inliers(a, b);
  if (!global || !n) return std::nullopt;
  float verified = std::clamp(float(*n - kChanceInliers) / float(kSureInliers - kChanceInliers), 0.0f, 1.0f);
  float d = *global * (1 - kLocalPull * verified);
  // inliers() has checked both local parts.
  if (hasStructure(*localView(a.local)) && hasStructure(*localView(b.local))) return d;
  for (float c : a.colour)
    if (!std::isfinite(c)) return std::nullopt;
  for (float c : b.colour)
    if (!std::isfinite(c)) return std::nullopt;
  float colour = kSamePhotoDistance * deltaE2000(a.colour, b.colour) / kSameColourDeltaE;
  return std::max(d, std::min(1.0f, colour));
}

const FeaturePrinter& defaultFeaturePrinter() {
  static const VerifiedFeaturePrinter printer;
  return printer;
}

}  // namespace featureprint
