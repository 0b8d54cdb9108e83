// Image feature prints: what a picture shows, and a distance between two of
// them, for telling near-duplicate photos (the same shot resized,
// re-encoded, cropped, tilted, framed, recoloured) from different photos.
//
// Revision 1, the global part (LayoutFeaturePrinter), is a fixed-length
// vector computed from one small upright image, resampled to a 32 x 32 grid
// ignoring the aspect ratio:
//   - luminance layout: the 6 x 6 lowest-frequency DCT coefficients of the
//     grid's luma, DC dropped and scaled to unit length, so that brightness
//     and contrast changes cancel out;
//   - edge histogram: per cell of a 4 x 4 layout, a magnitude-weighted
//     histogram of 6 unsigned gradient orientations, square-rooted and scaled
//     to unit length (texture and outline, independent of exposure);
//   - colour layout: the 6 lowest DCT coefficients (zigzag order) of each
//     8 x 8 chroma (Cb, Cr) grid, plus how colourful the picture is.
// Its distance mixes the three parts' Euclidean distances so that identical
// prints give 0 and unrelated photos about 1. Colour is compared only as far
// as both pictures have colour, so a grey copy of a photo stays near it. It
// does well on resizing, re-encoding and tone changes, less well on edits
// that move or hide part of the picture (crops, tilts, bars, padding).
//
// Revision 2 (VerifiedFeaturePrinter, the one albumsweep uses) adds
// geometric verification for those: ORB keypoints with their binary
// descriptors (at most kMaxLocalFeatures), taken once per image from the
// upright image reduced to between kLeastWorkingSize and kWorkingSize on its
// longer side (a JPEG decoded straight at that scale, which is most of the
// print's time saved). Two prints' features are matched
// with a ratio test and a similarity transform (shift, turn, scale) is
// fitted with RANSAC; its consistent matches (inliers) say "same shot". See
// VerifiedFeaturePrinter::distance for how both parts make one distance.
// Its global part leaves out flat rows and columns at the picture's edges
// (padding, caption and border bars), which no photo's layout depends on.
//
// The interface is small on purpose: another printer (a learned model, say)
// can take this one's place; callers never look inside a print.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace imaging {
struct RgbPixels;
}

namespace featureprint {

struct FeaturePrint {
  int revision = 0;                 // which printer made it; prints of different revisions do not compare
  std::vector<float> values;        // the global part, fixed length for a given revision
  std::vector<std::uint8_t> local;  // local features (revision 2), at most a bounded number
  std::array<float, 3> colour{};    // mean CIELAB colour (revision 2) of the part the global part covers
};

// The distance at or below which two pictures count as the same photo (an
// edited copy of one shot) for the default printer. Its cost, measured by
// bench/feature_print_detection.sh on 40 photos: 3 of 360 edited copies
// missed (mirrors aside; all three of one smooth colour gradient without
// keypoints: a crop at 0.37, a tone change at 0.44, grey at 0.55), and none
// of 16,380 pairs of different photos matched (the closest at 0.48).
inline constexpr float kSamePhotoDistance = 0.35f;

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

// Revision 2: the global part above plus geometrically verified local
// features. Stateless and re-entrant; OpenCV runs on the calling thread only
// (it is set to one thread, without OpenCL, logging or files).
class VerifiedFeaturePrinter : public FeaturePrinter {
 public:
  static constexpr int kRevision = 2;
  // Longer side of the image both parts are computed from: at most
  // kWorkingSize, and at least kLeastWorkingSize where the picture is that
  // large. The span lets a JPEG decode at whichever of libjpeg's scales
  // (1/2, 1/4, 1/8) lands in it without being resampled again (12-megapixel
  // photos: 1/8, 500 pixels); ORB's scale pyramid and the similarity fit
  // absorb the difference in size between two prints.
  static constexpr int kWorkingSize = 512;
  static constexpr int kLeastWorkingSize = 384;
  static constexpr int kMaxLocalFeatures = 300;   // cap on keypoints kept per print
  static constexpr int kLocalFeatureBytes = 36;   // 32 descriptor bytes + 2 x 16-bit position
  // A print holds 144 floats of global part (576 bytes) and at most
  // 300 x 36 = 10,800 bytes of local features: at most 11,376 bytes of
  // payload, plus the two vectors' own 48 bytes.

  VerifiedFeaturePrinter();

  std::optional<FeaturePrint> printFrom(std::span<const std::uint8_t> encoded) const override;
  // 0 for identical pictures, about 1 for unrelated ones:
  //   global * (1 - kLocalPull * verified)
  // where `global` is the revision-1 distance of the global parts and
  // `verified` (0..1) rises linearly from 0 at kChanceInliers RANSAC inliers
  // to 1 at kSureInliers. Different photos gave at most 5 inliers in 16,380
  // pairs of the detection benchmark; 341 of its 360 edited copies at least
  // 12, the rest copies of four pictures with few keypoints (three smooth
  // wallpapers, a 640-pixel photo shrunk to 25-50 %). The distance grows
  // with the global distance and falls with the number of inliers; pictures
  // without enough keypoints (a flat colour, a tiny picture) get the global
  // distance alone.
  //
  // A picture without structure (fewer than kMinFeatures keypoints: a flat
  // colour, a blank page, a smooth gradient, a tiny picture) has little but
  // its colour to tell it from another, and the global part compares
  // layout and contrast, not brightness: a white and a black picture, or
  // two flat pictures of different colours, are at 0 by it. So for a pair
  // in which at least one picture has no structure the distance is at
  // least kSamePhotoDistance * dE / kSameColourDeltaE (at most 1), dE being
  // the CIEDE2000 difference of their mean colours: such pictures are the
  // same photo only while their mean colours differ by at most
  // kSameColourDeltaE. Pictures with structure keep their recoloured and
  // grey copies, which their keypoints confirm.
  std::optional<float> distance(const FeaturePrint& a, const FeaturePrint& b) const override;

  // The print of already decoded pixels (upright sRGB, between
  // kLeastWorkingSize and kWorkingSize on the longer side for prints
  // comparable with printFrom's); nothing for an empty image.
  std::optional<FeaturePrint> printPixels(const imaging::RgbPixels& pixels) const;

  // Parts of the distance, for measuring: the global distance alone, and
  // the number of RANSAC inliers (0 without enough features).
  std::optional<float> globalDistance(const FeaturePrint& a, const FeaturePrint& b) const;
  std::optional<int> inliers(const FeaturePrint& a, const FeaturePrint& b) const;

  static constexpr int kChanceInliers = 5;
  static constexpr int kSureInliers = 12;
  static constexpr float kLocalPull = 0.9f;
  static constexpr int kMinFeatures = 12;  // fewer keypoints: no geometric verification, no structure
  static constexpr float kSameColourDeltaE = 10.0f;
};

// The printer albumsweep uses (revision 2).
const FeaturePrinter& defaultFeaturePrinter();

}  // namespace featureprint
