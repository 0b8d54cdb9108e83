// Regions of a decoded image: cropping to a box, and the box of its content
// without flat borders.
#pragma once

#include <optional>

#include "imaging/image.h"

namespace imaging {

// A rectangle of an image, in pixels.
struct Box {
  int left = 0, top = 0, width = 0, height = 0;
};

// The part of `image` inside `box`, as a new image; nothing when the box
// does not lie inside the image or is empty.
std::optional<Image> cropped(const Image& image, Box box);

// The image without its flat borders (padding, letterbox bars): the box of
// the pixels that differ by more than `threshold` (in 8-bit levels, after a
// 3 x 3 median that ignores JPEG noise) from the colour of the top-left
// corner, then within that from the colour of its bottom-right corner, so
// that borders of one colour on any sides go. The whole image when nothing
// is flat.
std::optional<Box> contentBox(const Image& image, double threshold);

}  // namespace imaging
