// Image files: reading a regular file whole, and ImageSource, a file opened
// as an image container whose thumbnails and stored size are asked for
// later. Files are read whole into memory (at most kMaxFileBytes) and
// decoded from the buffer; nothing outlives an ImageSource.
#include "imaging/source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "imaging/internal.h"

namespace imaging {

namespace {

// Files larger than this are not read (not a photo; would need a large
// allocation).
constexpr std::uint64_t kMaxFileBytes = 1ull << 30;

}  // namespace

struct ImageSource::Impl {
  std::vector<std::uint8_t> bytes;
  detail::Header header;
  PixelSize stored;
};

ImageSource::ImageSource() = default;
ImageSource::~ImageSource() = default;
ImageSource::ImageSource(ImageSource&&) noexcept = default;
ImageSource& ImageSource::operator=(ImageSource&&) noexcept = default;
ImageSource::ImageSource(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

// The whole content of a regular file; nothing for anything else. Opening
// with O_NONBLOCK keeps a FIFO or a device from blocking the open, and the
// fstat check refuses them before any read.
std::optional<std::vector<std::uint8_t>> readRegularFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::optional<std::vector<std::uint8_t>> result;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) <= kMaxFileBytes) {
    std::vector<std::uint8_t> bytes(static_cast<size_t>(st.st_size));
    size_t got = 0;
    bool ok = true;
    // Reads what fstat promised; a file that shrinks meanwhile is read to its
    // new end, one that grows is read up to its size at open.
    while (got < bytes.size()) {
      ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        ok = false;
        break;
      }
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    if (ok) {
      bytes.resize(got);
      result = std::move(bytes);
    }
  }
  ::close(fd);
  return result;
}

std::optional<ImageSource> imageSource(const std::string& path) {
  if (!detail::vipsReady()) return std::nullopt;
  std::optional<std::vector<std::uint8_t>> bytes = readRegularFile(path);
  if (!bytes) return std::nullopt;
  std::optional<detail::Header> header = detail::readHeader(*bytes);
  if (!header) return std::nullopt;
  auto impl = std::make_unique<ImageSource::Impl>();
  impl->bytes = std::move(*bytes);
  impl->header = std::move(*header);
  impl->stored = detail::storedSize(impl->bytes, impl->header);
  return ImageSource(std::move(impl));
}

std::optional<Image> makeThumb(const ImageSource& source, int maxPixel) {
  if (!source.impl()) return std::nullopt;
  return detail::thumbnailOf(source.impl()->bytes, source.impl()->header, maxPixel);
}

std::vector<std::optional<Image>> makeThumbs(const ImageSource& source, std::span<const int> maxPixels) {
  if (!source.impl()) return std::vector<std::optional<Image>>(maxPixels.size());
  return detail::thumbnailsOf(source.impl()->bytes, source.impl()->header, maxPixels);
}

PixelSize pixelSize(const ImageSource& source) {
  if (!source.impl()) return PixelSize{};
  return source.impl()->stored;
}

}  // namespace imaging
