// What the folder photo library reads from inside a file: the capture date
// and the upright pixel size, from the file's header only.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace photolibrary::folder {

// Seconds since 1970 for a time given in nanoseconds, as the double whose
// millisecond truncation (toward zero) is exactly totalNanos / 1000000, so
// that records show the file's own millisecond even where the nearest
// double would fall just below it.
double secondsFromNanos(std::int64_t totalNanos);

// The moment an EXIF DateTimeOriginal names, in nanoseconds since 1970, or
// nothing when it is not a real date. The texts are the field values as
// libvips shows them ("2019:03:01 10:11:12 (2019:03:01 10:11:12, ASCII, 20
// components, 20 bytes)") or the bare values; `offset` is
// OffsetTimeOriginal ("+02:00"), `subSeconds` SubSecTimeOriginal ("762"),
// each empty when absent. Without a usable offset the date is local time.
std::optional<std::int64_t> exifCaptureTime(std::string_view dateTime, std::string_view offset,
                                            std::string_view subSeconds);

struct HeaderFacts {
  std::int64_t width = 0;   // upright (displayed) size, 0 when unknown
  std::int64_t height = 0;
  std::optional<std::int64_t> captureNanos;  // from EXIF DateTimeOriginal
};

// Reads the header of the open regular file `fd` (the descriptor stays
// the caller's) with libvips: no pixels are decoded, nothing is printed,
// and only the loaders of the image formats the library knows are used.
// Width and height are swapped for EXIF orientations 5-8, except for HEIF,
// whose decoder already reports the turned size. BMP sizes come from the
// BMP header, and those of a camera raw (`raw`) from LibRaw's header read,
// turned by the raw's flip: the first image libvips sees in a raw is
// usually a small preview. Facts it cannot read stay empty; a damaged file
// gives empty facts, never a failure.
HeaderFacts readHeaderFacts(int fd, bool raw = false);

}  // namespace photolibrary::folder
