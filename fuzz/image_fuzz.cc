// Image bytes, as a library folder or a host's file list hands them over,
// through the image primitives: the bounded upright thumbnail with the
// stored size, the difference hash and the JPEG text of a scan record, and
// the folder library's header read (size and capture date), with the
// decoder limits (kMaxPixels) as the programs run them.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <span>

#include "fuzz/fuzz_check.h"
#include "imaging/imaging.h"
#include "photolibrary/folder_library_meta.h"

namespace {

constexpr int kBound = 256;  // the scan's and the thumbnail mode's preview size

void headerFacts(const std::uint8_t* data, std::size_t size) {
  // The folder library reads headers from an open file: a memory file
  // stands in for it.
  int fd = ::memfd_create("image", MFD_CLOEXEC);
  if (fd < 0) return;
  std::size_t written = 0;
  while (written < size) {
    ssize_t n = ::write(fd, data + written, size - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  if (written == size && ::lseek(fd, 0, SEEK_SET) == 0) {
    photolibrary::folder::HeaderFacts facts = photolibrary::folder::readHeaderFacts(fd);
    FUZZ_CHECK(facts.width >= 0 && facts.height >= 0, "header size is never negative");
  }
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  imaging::initImaging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  if (std::optional<imaging::Thumb> thumb = imaging::thumbFrom(bytes, kBound)) {
    const imaging::Image& image = thumb->image;
    FUZZ_CHECK(!image.empty(), "a thumbnail has pixels");
    FUZZ_CHECK(image.width() >= 1 && image.width() <= kBound && image.height() >= 1 && image.height() <= kBound,
               "a thumbnail stays inside its bound");
    FUZZ_CHECK(image.bands() == 3 || image.bands() == 4, "a thumbnail is RGB or RGBA");
    FUZZ_CHECK(thumb->width >= 0 && thumb->height >= 0, "stored size is never negative");
    FUZZ_CHECK(imaging::dhash(image).has_value(), "every thumbnail hashes");
    std::optional<std::string> jpeg = imaging::jpegBase64(image, 0.7);
    FUZZ_CHECK(jpeg && !jpeg->empty(), "every thumbnail encodes");
  }
  headerFacts(data, size);
  return 0;
}
