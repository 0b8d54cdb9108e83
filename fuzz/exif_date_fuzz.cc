// The EXIF capture date fields a photo carries (DateTimeOriginal,
// OffsetTimeOriginal, SubSecTimeOriginal), as the folder library reads
// them from a file's header: the input split at zero bytes into the three.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_support.h"
#include "photolibrary/folder_library_meta.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> fields = fuzz::splitAtZero({reinterpret_cast<const char*>(data), size});
  fields.resize(3);
  std::optional<std::int64_t> nanos = photolibrary::folder::exifCaptureTime(fields[0], fields[1], fields[2]);
  if (nanos) {
    FUZZ_CHECK(fields[0].size() >= 19, "a date has at least YYYY:MM:DD HH:MM:SS");
    // A record shows the date in milliseconds; the seconds it is made of
    // must hold the same millisecond.
    double seconds = photolibrary::folder::secondsFromNanos(*nanos);
    FUZZ_CHECK(static_cast<std::int64_t>(seconds * 1000.0) == *nanos / 1000000 ||
                   std::abs(seconds) > 1e15,
               "the millisecond survives the conversion to seconds");
  }
  return 0;
}
