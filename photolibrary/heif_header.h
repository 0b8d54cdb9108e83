// What the folder library's inventory needs of a HEIF file (displayed size,
// EXIF block), read from its boxes with a few small reads: libheif reads the
// whole file when it opens one, which would make every inventory read the
// whole library.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace photolibrary::folder {

struct HeifHeader {
  std::int64_t width = 0;  // the primary image's size as displayed (ispe turned by irot)
  std::int64_t height = 0;
  std::vector<std::uint8_t> exif;  // its EXIF block from the TIFF header on; empty when none
};

// The header of the HEIF in the open file `fd` (read with pread, the offset
// is left alone); nothing when the file is not a HEIF or holds anything this
// reader does not take whole (a cropped primary image, data outside the
// file, an EXIF block elsewhere than in the file): the caller then reads it
// with libvips as before.
std::optional<HeifHeader> readHeifHeader(int fd);

}  // namespace photolibrary::folder
