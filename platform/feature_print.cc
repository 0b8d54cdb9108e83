#include "platform/feature_print.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "imaging/imaging.h"

namespace platform {
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

std::optional<FeaturePrint> LayoutFeaturePrinter::printFrom(std::span<const std::uint8_t> encoded) const {
  std::optional<imaging::Thumb> thumb = imaging::thumbFrom(encoded, kThumbBound);
  if (!thumb) return std::nullopt;
  std::optional<imaging::RgbPixels> pixels = imaging::rgbPixels(thumb->image);
  if (!pixels) return std::nullopt;
  return printPixels(*pixels);
}

std::optional<float> LayoutFeaturePrinter::distance(const FeaturePrint& a, const FeaturePrint& b) const {
  if (a.revision != kRevision || b.revision != kRevision) return std::nullopt;
  if (a.values.size() != size_t(kPrintLength) || b.values.size() != size_t(kPrintLength)) return std::nullopt;
  for (size_t i = 0; i < a.values.size(); ++i)
    if (!std::isfinite(a.values[i]) || !std::isfinite(b.values[i])) return std::nullopt;
  std::span<const float> va(a.values), vb(b.values);

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

const FeaturePrinter& defaultFeaturePrinter() {
  static const LayoutFeaturePrinter printer;
  return printer;
}

}  // namespace platform
