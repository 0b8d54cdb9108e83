#include "imaging/thumbnail.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "imaging/parallel.h"

namespace imaging::detail {

bool toSrgb8(VipsRef& image) {
  VipsInterpretation t = vips_image_get_interpretation(image.p);
  if (t != VIPS_INTERPRETATION_sRGB || image.p->BandFmt != VIPS_FORMAT_UCHAR) {
    if (!vipsStep(image, [](VipsImage* in, VipsImage** out) {
          return vips_colourspace(in, out, VIPS_INTERPRETATION_sRGB, nullptr);
        }))
      return false;
  }
  if (image.p->BandFmt != VIPS_FORMAT_UCHAR &&
      !vipsStep(image, [](VipsImage* in, VipsImage** out) { return vips_cast(in, out, VIPS_FORMAT_UCHAR, nullptr); }))
    return false;
  if (image.p->Bands > 4 &&
      !vipsStep(image, [](VipsImage* in, VipsImage** out) { return vips_extract_band(in, out, 0, "n", 4, nullptr); }))
    return false;
  if (image.p->Bands < 3) return false;
  return true;
}

std::optional<VipsRef> thumbnailPipeline(VipsImage* full, int maxPixel, const char* exportProfile) {
  VipsImage* out = nullptr;
  if (vips_thumbnail_image(full, &out, maxPixel, "height", maxPixel, "size", VIPS_SIZE_DOWN, "export_profile",
                           exportProfile, nullptr)) {
    vips_error_clear();
    return std::nullopt;
  }
  VipsRef thumb(out);
  if (!toSrgb8(thumb)) return std::nullopt;
  return thumb;
}

namespace {

// The largest number of rows shrunk to one here: 255 * 257 still fits 16
// bits. Larger shrinks (thumbnails of pictures over 514 times their size)
// are left to libvips.
constexpr int kMaxRowShrink = 257;

// Computes the pipeline `whole`, which `build()` made, in horizontal bands
// on up to `threads` threads: `whole` for the first band and one more
// pipeline from `build()` for each other band. libvips would give a small
// thumbnail, a single piece of work for its thread pool, to one thread.
// Every output pixel depends only on its position, so the bands together
// are the image libvips computes in one piece.
template <typename Build>
std::optional<VipsRef> computeInBands(std::optional<VipsRef> whole, Build build, int threads) {
  if (!whole) return std::nullopt;
  const int height = whole->p->Ysize;
  const int bands = std::min(threads, height);
  VipsRef memory(bands > 1 ? vips_image_new_memory() : nullptr);
  if (!memory.p || vips_image_pipelinev(memory.p, VIPS_DEMAND_STYLE_ANY, whole->p, nullptr) ||
      vips_image_write_prepare(memory.p)) {
    // One piece after all.
    vips_error_clear();
    VipsRef copy(vips_image_copy_memory(whole->p));
    if (!copy.p) {
      vips_error_clear();
      return std::nullopt;
    }
    return copy;
  }
  const std::size_t rowBytes = VIPS_IMAGE_SIZEOF_LINE(memory.p);
  std::atomic<bool> failed{false};
  auto band = [&](std::size_t k) {
    std::optional<VipsRef> own = k == 0 ? std::nullopt : build();
    VipsImage* pipeline = k == 0 ? whole->p : own ? own->p : nullptr;
    VipsRegion* region = pipeline ? vips_region_new(pipeline) : nullptr;
    const int top = height * static_cast<int>(k) / bands, bottom = height * static_cast<int>(k + 1) / bands;
    VipsRect rect{0, top, whole->p->Xsize, bottom - top};
    if (!region || pipeline->Xsize != memory.p->Xsize || pipeline->Ysize != height ||
        vips_region_prepare(region, &rect)) {
      failed = true;
    } else {
      for (int y = rect.top; y < rect.top + rect.height; ++y)
        std::memcpy(VIPS_IMAGE_ADDR(memory.p, 0, y), VIPS_REGION_ADDR(region, 0, y), rowBytes);
    }
    if (region) g_object_unref(region);
  };
  // libvips keeps buffers per thread; a thread it did not start frees them itself.
  forEachOnThreads(static_cast<std::size_t>(bands), bands, band, [] { vips_thread_shutdown(); });
  if (failed) {
    vips_error_clear();
    return std::nullopt;
  }
  return memory;
}

// Every `n` rows of packed 8-bit rows (`rowBytes` each) summed and rounded
// to one, as libvips' vertical box shrink of 8-bit pixels does:
// (sum + n / 2) / n, here looked up in `quotient`. Output rows
// [firstOut, endOut); n <= kMaxRowShrink, so that sums fit 16 bits. The
// sums go in blocks of a fixed width, which the compiler turns into vector
// instructions.
void shrinkRows(const std::uint8_t* in, std::size_t rowBytes, int firstOut, int endOut, int n,
                const std::uint8_t* quotient, std::uint8_t* out) {
  constexpr std::size_t kBlock = 32;
  const std::size_t blocked = rowBytes / kBlock * kBlock;
  std::vector<std::uint16_t> sum(rowBytes);
  auto add = [&](const std::uint8_t* src) {
    for (std::size_t x = 0; x < blocked; x += kBlock) {
      std::uint16_t* to = sum.data() + x;
      const std::uint8_t* from = src + x;
      for (std::size_t k = 0; k < kBlock; ++k) to[k] = static_cast<std::uint16_t>(to[k] + from[k]);
    }
    for (std::size_t x = blocked; x < rowBytes; ++x) sum[x] = static_cast<std::uint16_t>(sum[x] + src[x]);
  };
  for (int r = firstOut; r < endOut; ++r) {
    const std::uint8_t* src = in + rowBytes * static_cast<std::size_t>(r) * n;
    std::fill(sum.begin(), sum.end(), 0);
    for (int k = 0; k < n; ++k, src += rowBytes) add(src);
    std::uint8_t* dst = out + rowBytes * static_cast<std::size_t>(r);
    for (std::size_t x = 0; x < rowBytes; ++x) dst[x] = quotient[sum[x]];
  }
}

// A picture held in memory as packed 8-bit RGB, shrunk vertically.
struct Shrunk {
  std::unique_ptr<std::uint8_t[]> rgb;
  VipsRef image;  // views `rgb`, with the source's interpretation and ICC profile
};

std::optional<Shrunk> shrinkVertically(VipsImage* full, const std::uint8_t* rgb, int n, int threads) {
  const std::size_t rowBytes = 3 * static_cast<std::size_t>(full->Xsize);
  const int rows = full->Ysize / n;
  Shrunk s;
  s.rgb.reset(new (std::nothrow) std::uint8_t[rowBytes * rows]);
  if (!s.rgb) return std::nullopt;
  std::vector<std::uint8_t> quotient(255 * static_cast<std::size_t>(n) + 1);
  for (std::size_t sum = 0; sum < quotient.size(); ++sum) quotient[sum] = static_cast<std::uint8_t>((sum + n / 2) / n);
  const int jobs = std::max(1, std::min(threads, rows));
  forEachOnThreads(static_cast<std::size_t>(jobs), jobs, [&](std::size_t k) {
    const int first = rows * static_cast<int>(k) / jobs, end = rows * static_cast<int>(k + 1) / jobs;
    shrinkRows(rgb, rowBytes, first, end, n, quotient.data(), s.rgb.get());
  });
  s.image = VipsRef(vips_image_new_from_memory(s.rgb.get(), rowBytes * rows, full->Xsize, rows, 3, VIPS_FORMAT_UCHAR));
  if (!s.image.p || !vipsStep(s.image, [&](VipsImage* in, VipsImage** out) {
        return vips_copy(in, out, "interpretation", vips_image_get_interpretation(full), nullptr);
      })) {
    vips_error_clear();
    return std::nullopt;
  }
  const void* icc = nullptr;
  std::size_t iccBytes = 0;
  if (vips_image_get_typeof(full, VIPS_META_ICC_NAME) &&
      vips_image_get_blob(full, VIPS_META_ICC_NAME, &icc, &iccBytes) == 0)
    vips_image_set_blob_copy(s.image.p, VIPS_META_ICC_NAME, icc, iccBytes);
  vips_error_clear();
  return s;
}

// What thumbnailPipeline does after libvips' own vertical box shrink by n,
// from the shrunk picture: the rest of the vertical reduction by `factor`,
// the horizontal one, the colour transform.
std::optional<VipsRef> pipelineAfterShrink(VipsImage* shrunk, double factor, int n, const char* exportProfile) {
  g_object_ref(shrunk);
  VipsRef image(shrunk);
  if (!vipsStep(image,
                [&](VipsImage* in, VipsImage** out) {
                  return vips_reducev(in, out, factor / n, "kernel", VIPS_KERNEL_LANCZOS3, "gap", 0.0, nullptr);
                }) ||
      !vipsStep(image,
                [&](VipsImage* in, VipsImage** out) {
                  return vips_reduceh(in, out, factor, "kernel", VIPS_KERNEL_LANCZOS3, "gap", 2.0, nullptr);
                }) ||
      (exportProfile && !vipsStep(image, [&](VipsImage* in, VipsImage** out) {
         return vips_icc_transform(in, out, exportProfile, "embedded", TRUE, "intent", VIPS_INTENT_RELATIVE, nullptr);
       })))
    return std::nullopt;
  if (!toSrgb8(image)) return std::nullopt;
  return image;
}

}  // namespace

std::optional<VipsRef> thumbnailInMemory(VipsImage* full, const std::uint8_t* rgb, int maxPixel,
                                         const char* exportProfile, int threads) {
  auto own = [&] { return thumbnailPipeline(full, maxPixel, exportProfile); };
  // The factor vips_thumbnail_image reduces both sides by (it hands on its
  // inverse, the scale, which libvips inverts again), and the box shrink
  // libvips' vertical reduction starts with.
  const double factor =
      1.0 / (1.0 / std::max(static_cast<double>(full->Xsize) / maxPixel, static_cast<double>(full->Ysize) / maxPixel));
  const double shrink = std::floor(factor / 2.0);
  // Only where that shrink takes whole groups of rows and the thumbnail's
  // rows cover the picture's exactly: otherwise libvips shifts the rest of
  // the reduction by amounts of its own.
  const double rows = full->Ysize / factor;
  const bool icc = vips_image_get_typeof(full, VIPS_META_ICC_NAME) != 0;
  std::optional<VipsRef> reference = own();  // a pipeline, nothing computed yet
  if (!reference || !rgb || shrink < 2 || shrink > kMaxRowShrink || full->Ysize % static_cast<int>(shrink) != 0 ||
      rows != std::round(rows) || full->Bands != 3 || full->BandFmt != VIPS_FORMAT_UCHAR || (exportProfile && !icc))
    return computeInBands(std::move(reference), own, threads);
  const int n = static_cast<int>(shrink);
  std::optional<Shrunk> shrunk = shrinkVertically(full, rgb, n, threads);
  if (!shrunk) return computeInBands(std::move(reference), own, threads);
  auto fast = [&] { return pipelineAfterShrink(shrunk->image.p, factor, n, exportProfile); };
  std::optional<VipsRef> probe = fast();
  if (!probe || probe->p->Xsize != reference->p->Xsize || probe->p->Ysize != reference->p->Ysize ||
      probe->p->Bands != reference->p->Bands)
    return computeInBands(std::move(reference), own, threads);
  return computeInBands(std::move(probe), fast, threads);
}

}  // namespace imaging::detail
