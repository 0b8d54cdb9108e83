// What the folder library's inventory needs of a JPEG (stored size, EXIF
// orientation and capture date fields), read from its markers with a few
// small reads and no library: libvips formats every EXIF tag of a file as
// text to answer the same question, which dominates an inventory of many
// photos.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace photolibrary::folder {

// What the inventory takes from an EXIF block.
struct ExifFields {
  int orientation = 1;  // EXIF orientation, 1-8
  // EXIF DateTimeOriginal, OffsetTimeOriginal and SubSecTimeOriginal as
  // stored (ASCII up to the first zero byte); empty when absent.
  std::string dateTime, offset, subSeconds;
};

struct JpegHeader : ExifFields {
  std::int64_t width = 0;  // as stored (the frame header)
  std::int64_t height = 0;
};

// The header of the JPEG in the open file `fd` (read with pread); nothing
// when the file is not a plain 8-bit JPEG or anything in its header is
// unusual (a second EXIF block, an offset outside the block, a tag of an
// unexpected type, ...): the caller then reads it with libvips as before,
// so that both ways always agree.
std::optional<JpegHeader> readJpegHeader(int fd);

// The fields of an EXIF block (from its TIFF header on, as a HEIF stores
// it), read the way readJpegHeader reads a JPEG's; nothing when anything in
// the block is unusual.
std::optional<ExifFields> readExifBlock(const std::vector<std::uint8_t>& block);

}  // namespace photolibrary::folder
