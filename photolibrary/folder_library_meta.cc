#include "photolibrary/folder_library_meta.h"

#include <unistd.h>
#include <vips/vips.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "photolibrary/heif_header.h"
#include "photolibrary/jpeg_header.h"

#include "imaging/headers.h"

namespace photolibrary::folder {
namespace {

constexpr std::int64_t kNanosPerSecond = 1000000000;

void ignoreLog(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

// libvips is started once per process. Its operation cache is switched off
// (a cached loader would keep our file descriptor open) and its warnings,
// which it would print to stderr, are dropped: the programs print nothing
// but their protocol.
bool startVips() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    g_log_set_handler("VIPS", static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL |
                                                          G_LOG_FLAG_RECURSION),
                      ignoreLog, nullptr);
    ok = vips_init("folder_library") == 0;
    if (ok) vips_cache_set_max(0);
  });
  return ok;
}

// The text of a libvips EXIF field before its " (value, type, ...)" part.
std::string_view fieldValue(std::string_view text) {
  std::size_t paren = text.find(" (");
  if (paren != std::string_view::npos) text = text.substr(0, paren);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  return text;
}

// Reads exactly `digits` decimal digits at s[pos].
std::optional<int> digitsAt(std::string_view s, std::size_t pos, int digits) {
  if (pos + digits > s.size()) return std::nullopt;
  int v = 0;
  for (int k = 0; k < digits; ++k) {
    char c = s[pos + k];
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

// "+HH:MM" / "-HH:MM" in seconds east of UTC.
std::optional<int> offsetSeconds(std::string_view text) {
  if (text.size() != 6 || (text[0] != '+' && text[0] != '-') || text[3] != ':') return std::nullopt;
  auto h = digitsAt(text, 1, 2), m = digitsAt(text, 4, 2);
  if (!h || !m || *h > 14 || *m > 59) return std::nullopt;
  int s = *h * 3600 + *m * 60;
  return text[0] == '-' ? -s : s;
}

// "762" -> 762000000 ns; anything that is not all digits gives 0.
std::int64_t subSecondNanos(std::string_view text) {
  std::int64_t ns = 0;
  int used = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    if (used < 9) {
      ns = ns * 10 + (c - '0');
      ++used;
    }
  }
  for (; used < 9 && used > 0; ++used) ns *= 10;
  return ns;
}

std::string stringField(VipsImage* image, const char* name) {
  if (vips_image_get_typeof(image, name) == 0) return {};
  const char* value = nullptr;
  if (vips_image_get_string(image, name, &value) != 0 || value == nullptr) {
    vips_error_clear();
    return {};
  }
  return value;
}

bool isKnownLoader(std::string_view loader) {
  static constexpr std::string_view kLoaders[] = {
      "jpegload_source", "pngload_source", "webpload_source",
      "tiffload_source", "heifload_source", "gifload_source"};
  for (std::string_view l : kLoaders)
    if (l == loader) return true;
  return false;
}

// The capture date of a HEIF's EXIF block (from the TIFF header on), read
// as a JPEG's block is; nothing when the block is unusual (the caller then
// reads the file with libvips, so that both ways agree).
std::optional<std::optional<std::int64_t>> heifCaptureTime(const std::vector<std::uint8_t>& exif) {
  if (exif.empty()) return std::optional<std::int64_t>();
  std::optional<ExifFields> fields = readExifBlock(exif);
  if (!fields) return std::nullopt;
  return exifCaptureTime(fields->dateTime, fields->offset, fields->subSeconds);
}

}  // namespace

double secondsFromNanos(std::int64_t totalNanos) {
  const std::int64_t wantMillis = totalNanos / 1000000;  // truncation toward zero
  double seconds = static_cast<double>(totalNanos / kNanosPerSecond) +
                   static_cast<double>(totalNanos % kNanosPerSecond) / 1e9;
  auto millisOf = [](double s) { return static_cast<std::int64_t>(s * 1000.0); };
  for (int step = 0; step < 64 && millisOf(seconds) != wantMillis; ++step) {
    seconds = std::nextafter(seconds, millisOf(seconds) < wantMillis ? HUGE_VAL : -HUGE_VAL);
  }
  return seconds;
}

std::optional<std::int64_t> exifCaptureTime(std::string_view dateTime, std::string_view offset,
                                            std::string_view subSeconds) {
  std::string_view d = fieldValue(dateTime);
  // "YYYY:MM:DD HH:MM:SS"; some writers use "-" in the date or "T" between.
  if (d.size() < 19) return std::nullopt;
  auto sepOk = [&](std::size_t pos, std::string_view allowed) {
    return allowed.find(d[pos]) != std::string_view::npos;
  };
  if (!sepOk(4, ":-") || !sepOk(7, ":-") || !sepOk(10, " T") || !sepOk(13, ":") || !sepOk(16, ":"))
    return std::nullopt;
  auto year = digitsAt(d, 0, 4), month = digitsAt(d, 5, 2), day = digitsAt(d, 8, 2);
  auto hour = digitsAt(d, 11, 2), minute = digitsAt(d, 14, 2), second = digitsAt(d, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  if (*year < 1 || *month < 1 || *month > 12 || *day < 1 || *day > 31 || *hour > 23 ||
      *minute > 59 || *second > 60)
    return std::nullopt;

  std::tm tm{};
  tm.tm_year = *year - 1900;
  tm.tm_mon = *month - 1;
  tm.tm_mday = *day;
  tm.tm_hour = *hour;
  tm.tm_min = *minute;
  tm.tm_sec = *second;
  std::tm check = tm;
  std::int64_t seconds;
  if (auto off = offsetSeconds(fieldValue(offset))) {
    seconds = static_cast<std::int64_t>(timegm(&check)) - *off;
  } else {
    check.tm_isdst = -1;
    // mktime reads the time zone under glibc's own lock, which
    // ThreadSanitizer cannot see; one lock of ours keeps it quiet and costs
    // nothing next to a header read.
    static std::mutex zoneLock;
    std::time_t t;
    {
      std::lock_guard<std::mutex> g(zoneLock);
      t = mktime(&check);
    }
    if (t == static_cast<std::time_t>(-1) && !(*year == 1969 || *year == 1970)) return std::nullopt;
    seconds = t;
  }
  // A day that does not exist (31 April) comes back normalised: refuse it.
  if (check.tm_mday != tm.tm_mday || check.tm_mon != tm.tm_mon) return std::nullopt;
  // Nanoseconds since 1970 hold the years 1678 to 2261; a date outside them
  // (year 9999 is a common placeholder) is no capture date.
  constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / kNanosPerSecond - 1;
  if (seconds < -kLimit || seconds > kLimit) return std::nullopt;
  return seconds * kNanosPerSecond + subSecondNanos(fieldValue(subSeconds));
}

namespace {

// The facts libvips reads from the header.
HeaderFacts vipsHeaderFacts(int fd) {
  HeaderFacts facts;
  if (!startVips()) return facts;
  // HEIF: a few small reads of the file's header and no libvips (which
  // would have libheif read the whole file); anything unusual goes the
  // libvips way below.
  if (std::optional<HeifHeader> heif = readHeifHeader(fd)) {
    if (std::optional<std::optional<std::int64_t>> date = heifCaptureTime(heif->exif)) {
      facts.width = heif->width;
      facts.height = heif->height;
      facts.captureNanos = *date;
      return facts;
    }
  }
  VipsSource* source = vips_source_new_from_descriptor(fd);  // takes its own duplicate
  if (source == nullptr) {
    vips_error_clear();
    return facts;
  }
  // The class name of the loader that recognises the bytes; its nickname
  // ("jpegload_source") is what the list of allowed loaders holds.
  const char* loaderClass = vips_foreign_find_load_source(source);
  const char* loader = loaderClass != nullptr ? vips_nickname_find(g_type_from_name(loaderClass)) : nullptr;
  VipsImage* image = nullptr;
  if (loader != nullptr && isKnownLoader(loader)) {
    image = vips_image_new_from_source(source, "", nullptr);
  }
  g_object_unref(source);
  if (image == nullptr) {
    vips_error_clear();
    return facts;
  }
  facts.width = vips_image_get_width(image);
  facts.height = vips_image_get_height(image);
  const bool heif = std::strcmp(loader, "heifload_source") == 0;
  int orientation = 1;
  if (vips_image_get_typeof(image, VIPS_META_ORIENTATION) != 0 &&
      vips_image_get_int(image, VIPS_META_ORIENTATION, &orientation) != 0) {
    vips_error_clear();
    orientation = 1;
  }
  if (!heif && orientation >= 5 && orientation <= 8) std::swap(facts.width, facts.height);
  facts.captureNanos = exifCaptureTime(stringField(image, "exif-ifd2-DateTimeOriginal"),
                                       stringField(image, "exif-ifd2-OffsetTimeOriginal"),
                                       stringField(image, "exif-ifd2-SubSecTimeOriginal"));
  g_object_unref(image);
  return facts;
}

}  // namespace

HeaderFacts readHeaderFacts(int fd, bool raw) {
  HeaderFacts facts;
  // A JPEG first, the common case: a few small reads of its header and no
  // libvips (which would format every EXIF tag as text); anything unusual
  // goes the libvips way below. A JPEG is never a BMP (their first bytes
  // differ), so the order of the two checks changes no answer.
  std::optional<JpegHeader> jpeg = startVips() ? readJpegHeader(fd) : std::nullopt;
  std::uint8_t head[imaging::kBmpHeaderBytes];
  if (jpeg) {
    facts.width = jpeg->width;
    facts.height = jpeg->height;
    if (jpeg->orientation >= 5) std::swap(facts.width, facts.height);
    facts.captureNanos = exifCaptureTime(jpeg->dateTime, jpeg->offset, jpeg->subSeconds);
  } else if (!raw && ::pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) && head[0] == 'B' &&
             head[1] == 'M') {
    imaging::PixelSize size = imaging::bmpHeaderSize(head).value_or(imaging::PixelSize{});
    return HeaderFacts{size.width, size.height, std::nullopt};  // BMP holds no capture date
  } else {
    facts = vipsHeaderFacts(fd);
  }
  if (raw) {
    imaging::PixelSize size = imaging::rawUprightSize(fd).value_or(imaging::PixelSize{});
    facts.width = size.width;
    facts.height = size.height;
  }
  return facts;
}

}  // namespace photolibrary::folder
