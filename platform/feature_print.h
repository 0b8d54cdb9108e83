// Image feature prints: a fixed-length vector that describes what a picture
// shows, and a distance between two of them, for telling near-duplicate
// photos (the same shot resized, re-encoded, lightly cropped, recoloured)
// from different photos.
//
// Our descriptor is computed from one small upright thumbnail of the encoded
// bytes (decoded through imaging::thumbFrom, so never from an embedded
// preview), resampled to a 32 x 32 grid ignoring the aspect ratio:
//   - luminance layout: the 6 x 6 lowest-frequency DCT coefficients of the
//     grid's luma, DC dropped and scaled to unit length, so that brightness
//     and contrast changes cancel out;
//   - edge histogram: per cell of a 4 x 4 layout, a magnitude-weighted
//     histogram of 6 unsigned gradient orientations, square-rooted and scaled
//     to unit length (texture and outline, independent of exposure);
//   - colour layout: the 6 lowest DCT coefficients (zigzag order) of each
//     8 x 8 chroma (Cb, Cr) grid, plus how colourful the picture is.
// The distance mixes the three parts' Euclidean distances so that identical
// prints give 0 and unrelated photos about 1. Colour is compared only as far
// as both pictures have colour, so a grey copy of a photo stays near it.
//
// The interface is small on purpose: another printer (a learned model, say)
// can take this one's place; callers never look inside a print.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace imaging {
struct RgbPixels;
}

namespace platform {

struct FeaturePrint {
  int revision = 0;           // which printer made it; prints of different revisions do not compare
  std::vector<float> values;  // fixed length for a given revision
};

class FeaturePrinter {
 public:
  virtual ~FeaturePrinter() = default;
  // The print of an encoded image (any format the image primitives read);
  // nothing when the bytes cannot be decoded.
  virtual std::optional<FeaturePrint> printFrom(std::span<const std::uint8_t> encoded) const = 0;
  // Distance between two prints: 0 for identical pictures, growing as they
  // differ, around 1 for unrelated ones. Nothing when the prints cannot be
  // compared (different revisions or lengths, values that are not finite).
  virtual std::optional<float> distance(const FeaturePrint& a, const FeaturePrint& b) const = 0;
};

// The descriptor above (revision 1). Stateless and re-entrant.
class LayoutFeaturePrinter : public FeaturePrinter {
 public:
  static constexpr int kRevision = 1;
  static constexpr int kThumbBound = 128;  // longer side of the thumbnail it is computed from

  std::optional<FeaturePrint> printFrom(std::span<const std::uint8_t> encoded) const override;
  std::optional<float> distance(const FeaturePrint& a, const FeaturePrint& b) const override;

  // The print of already decoded pixels (upright sRGB); nothing for an
  // empty image.
  std::optional<FeaturePrint> printPixels(const imaging::RgbPixels& pixels) const;
};

// The printer albumsweep uses.
const FeaturePrinter& defaultFeaturePrinter();

}  // namespace platform
