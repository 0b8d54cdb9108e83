// Which photo of a group to keep: the one a person would call the original.
//
// In order, the better keeper has
//  1. more pixels of its own content: the pixel size times the share of the
//     stored thumbnail left once flat borders are trimmed, so that a padded
//     or letterboxed copy does not win on pixels it only added; sizes within
//     about 4% count as the same (a copy re-encoded at the same size ties);
//  2. the least loss: colour over grey; no added flat borders over borders;
//     the camera's own file (a raw, HEIC or JPEG file with a capture date in
//     its metadata) over a conversion, and among those raw over HEIC over
//     JPEG, among the others a lossless format (PNG, TIFF, BMP) over a lossy
//     one;
//  3. a capture date from the file's metadata, then the oldest capture date;
//  4. the oldest modification time;
//  5. the larger file (after the dates: a copy re-encoded at a higher
//     quality can be larger than the camera's file it came from);
//  6. the shorter path, then the path that sorts first.
// Everything comes from the catalog: the scan's pixel size, bytes, dates and
// file name, and facts of the stored thumbnail (ThumbFacts), never from
// parsing a user's file here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>

namespace photodupes {

struct Photo;

// What the stored thumbnail tells about the picture.
struct ThumbFacts {
  double contentShare = 1;  // share of the thumbnail's area left after trimming flat borders
  bool colour = true;       // has colour (not grey or nearly so)
};

// The facts of a stored thumbnail (base64 JPEG); nothing when there is none
// or it does not decode.
std::optional<ThumbFacts> thumbFacts(const std::string& base64Jpeg);

// A camera raw file, by its extension (case ignored).
bool isRawFile(const std::string& path);

// The rule as a key, larger being better; equal keys go by path (the one
// that sorts first is better). Computed once a photo where many photos are
// ordered.
using KeeperKey = std::tuple<long, bool, bool, int, bool, std::int64_t, std::int64_t, std::int64_t, std::int64_t>;
KeeperKey keeperKey(const Photo& photo);

// True when `a` is the better keeper. A strict weak order.
bool keeperBefore(const Photo& a, const Photo& b);

// The rule above in one paragraph, for the help, the man page and the report.
extern const char* const kKeeperRule;

}  // namespace photodupes
