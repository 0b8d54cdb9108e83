// Edited copies of real photos, the way people make near duplicates:
// resized, re-encoded, brightened, cropped, captioned, padded. For the
// duplicate finder's tests and its recall measurement. Starts libvips.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace testsupport {

enum class PhotoEdit {
  kResizeHalf,         // half the width and height
  kReencode,           // JPEG quality 40
  kBrighten,           // 15% brighter
  kCropSides,          // 5% off every side
  kCropCorner,         // 10% off the right and the bottom
  kCropCornerTopLeft,  // 10% off the left and the top
  kCaption,            // a black bar of 12% of the height with white text at the bottom
  kPad,                // a white border of 10% of the size on every side
  kCrop15,             // 15% of the width and height off, centred (7.5% off every side)
  kCrop20,             // 20% of the width and height off, centred
  kLetterbox,          // on a black 16:9 canvas (9:16 for a portrait photo): bars to another aspect ratio
  kCropCorner15,       // 15% off the right and the bottom
  kGrey,               // grey (one band)
  kMirror,             // flipped left to right: another picture, not a duplicate
};
// The edits that make duplicates (every one but kMirror).
inline constexpr PhotoEdit kAllPhotoEdits[] = {
    PhotoEdit::kResizeHalf, PhotoEdit::kReencode,   PhotoEdit::kBrighten,
    PhotoEdit::kCropSides,  PhotoEdit::kCropCorner, PhotoEdit::kCropCornerTopLeft,
    PhotoEdit::kCaption,    PhotoEdit::kPad,        PhotoEdit::kCrop15,
    PhotoEdit::kCrop20,     PhotoEdit::kLetterbox,  PhotoEdit::kCropCorner15,
    PhotoEdit::kGrey};
const char* photoEditName(PhotoEdit edit);

// The upright photo of `encoded`, edited and saved as JPEG (quality 90
// unless the edit says otherwise); nothing when decoding or editing fails.
std::optional<std::vector<std::uint8_t>> editPhoto(std::span<const std::uint8_t> encoded, PhotoEdit edit);

}  // namespace testsupport
