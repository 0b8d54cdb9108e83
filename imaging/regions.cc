// Regions of a decoded image: cropping to a box, and the box of its content
// without flat borders.
#include "imaging/regions.h"

#include <vips/vips.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <utility>

#include "imaging/encode.h"
#include "imaging/internal.h"

namespace imaging {

std::optional<Image> cropped(const Image& image, Box box) {
  std::optional<VipsRef> img = detail::vipsOf(image);
  if (!img || box.width < 1 || box.height < 1 || box.left < 0 || box.top < 0 || box.left > image.width() - box.width ||
      box.top > image.height() - box.height)
    return std::nullopt;
  if (!vipsStep(*img, [&](VipsImage* in, VipsImage** out) {
        return vips_crop(in, out, box.left, box.top, box.width, box.height, nullptr);
      }))
    return std::nullopt;
  return detail::imageInMemory(img->p);
}

namespace {

// The median of nine values, by the classic 19-exchange network.
std::uint8_t median9(std::array<std::uint8_t, 9> v) {
  auto sort2 = [&](int i, int j) {
    if (v[i] > v[j]) std::swap(v[i], v[j]);
  };
  sort2(1, 2), sort2(4, 5), sort2(7, 8), sort2(0, 1), sort2(3, 4), sort2(6, 7), sort2(1, 2), sort2(4, 5);
  sort2(7, 8), sort2(0, 3), sort2(5, 8), sort2(4, 7), sort2(3, 6), sort2(1, 4), sort2(2, 5), sort2(4, 7);
  sort2(4, 2), sort2(6, 4), sort2(4, 2);
  return v[4];
}

}  // namespace

std::optional<Box> contentBox(const Image& image, double threshold) {
  // Plain loops over the pixels: a libvips pipeline per trim costs ten times
  // the decoding of a thumbnail in thread hand-offs alone.
  std::optional<RgbPixels> px = rgbPixels(image);
  if (!px || px->width < 1 || px->height < 1) return std::nullopt;
  const int w = px->width, h = px->height;
  auto at = [&](int x, int y, int c) { return px->rgb[(static_cast<std::size_t>(y) * w + x) * 3 + c]; };
  Box box{0, 0, w, h};
  // True when the 3 x 3 median around (x, y), edges repeated, differs from
  // `bg` by more than the threshold in some channel.
  auto differs = [&](int x, int y, const std::array<int, 3>& bg) {
    for (int c = 0; c < 3; ++c) {
      std::array<std::uint8_t, 9> v;
      int k = 0;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) v[k++] = at(std::clamp(x + dx, 0, w - 1), std::clamp(y + dy, 0, h - 1), c);
      if (std::abs(median9(v) - bg[c]) > threshold) return true;
    }
    return false;
  };
  auto trimAgainst = [&](int cx, int cy) {
    const std::array<int, 3> bg{at(cx, cy, 0), at(cx, cy, 1), at(cx, cy, 2)};
    auto rowDiffers = [&](int y) {
      for (int x = box.left; x < box.left + box.width; ++x)
        if (differs(x, y, bg)) return true;
      return false;
    };
    auto columnDiffers = [&](int x, int top, int bottom) {
      for (int y = top; y < bottom; ++y)
        if (differs(x, y, bg)) return true;
      return false;
    };
    int top = box.top, bottom = box.top + box.height;
    while (top < bottom && !rowDiffers(top)) ++top;
    // Nothing differs from the corner: a flat image, nothing to trim.
    if (top == bottom) return;
    while (!rowDiffers(bottom - 1)) --bottom;
    int left = box.left, right = box.left + box.width;
    while (!columnDiffers(left, top, bottom)) ++left;
    while (!columnDiffers(right - 1, top, bottom)) --right;
    box = Box{left, top, right - left, bottom - top};
  };
  trimAgainst(0, 0);
  trimAgainst(box.left + box.width - 1, box.top + box.height - 1);
  return box;
}

}  // namespace imaging
