#include "photolibrary/jpeg_header.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

namespace photolibrary::folder {
namespace {

constexpr std::size_t kWindow = 4096;  // the image start and the first segments
constexpr int kMaxSegments = 256;

// Reads of one file through a window of at least kWindow bytes: a read
// that falls outside the window moves it there, so the markers of a header
// and the segments between them cost one pread per window, not one each.
class Reader {
 public:
  Reader(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  std::uint64_t size() const { return size_; }
  bool get(std::uint64_t offset, std::size_t length, std::vector<std::uint8_t>& out) {
    if (offset > size_ || length > size_ - offset) return false;
    if (offset < at_ || offset + length > at_ + window_.size()) {
      window_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(std::max(length, kWindow), size_ - offset)));
      at_ = offset;
      if (!readAt(offset, window_.data(), window_.size())) {
        window_.clear();
        return false;
      }
    }
    out.assign(window_.begin() + static_cast<std::ptrdiff_t>(offset - at_),
               window_.begin() + static_cast<std::ptrdiff_t>(offset - at_ + length));
    return true;
  }

 private:
  bool readAt(std::uint64_t offset, std::uint8_t* p, std::size_t n) const {
    for (std::size_t got = 0; got < n;) {
      ssize_t k = ::pread(fd_, p + got, n - got, static_cast<off_t>(offset + got));
      if (k <= 0) return false;
      got += static_cast<std::size_t>(k);
    }
    return true;
  }
  int fd_;
  std::uint64_t size_;
  std::uint64_t at_ = 0;
  std::vector<std::uint8_t> window_;
};

// The TIFF structure of an EXIF block, every read bounds-checked.
class Tiff {
 public:
  explicit Tiff(const std::vector<std::uint8_t>& b) : b_(b) {}
  bool init() {
    if (b_.size() < 8) return false;
    if (b_[0] == 'I' && b_[1] == 'I') little_ = true;
    else if (!(b_[0] == 'M' && b_[1] == 'M')) return false;
    return u16(2) == 42;
  }
  bool fits(std::uint64_t at, std::uint64_t n) const { return at <= b_.size() && n <= b_.size() - at; }
  std::uint32_t u16(std::uint64_t at) const {
    if (!fits(at, 2)) return 0;
    return little_ ? b_[at] | b_[at + 1] << 8 : b_[at] << 8 | b_[at + 1];
  }
  std::uint32_t u32(std::uint64_t at) const {
    if (!fits(at, 4)) return 0;
    return little_ ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
  }
  const std::uint8_t* at(std::uint64_t offset) const { return b_.data() + offset; }

 private:
  const std::vector<std::uint8_t>& b_;
  bool little_ = false;
};

struct IfdEntry {
  std::uint32_t type = 0, count = 0;
  std::uint64_t data = 0;  // offset of its value in the block
};

constexpr std::uint32_t kTypeSizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};

// The entries of the IFD at `offset`, by tag; nothing when the IFD or any
// entry's value lies outside the block, a tag repeats or a type is unknown.
std::optional<std::vector<std::pair<std::uint32_t, IfdEntry>>> readIfd(const Tiff& t, std::uint64_t offset) {
  if (!t.fits(offset, 2)) return std::nullopt;
  std::uint32_t n = t.u16(offset);
  if (n > 1000 || !t.fits(offset + 2, 12ull * n)) return std::nullopt;
  std::vector<std::pair<std::uint32_t, IfdEntry>> out;
  std::set<std::uint32_t> seen;
  for (std::uint32_t k = 0; k < n; ++k) {
    std::uint64_t e = offset + 2 + 12ull * k;
    IfdEntry entry{t.u16(e + 2), t.u32(e + 4), e + 8};
    if (entry.type == 0 || entry.type >= std::size(kTypeSizes)) return std::nullopt;
    std::uint64_t bytes = std::uint64_t{kTypeSizes[entry.type]} * entry.count;
    if (bytes > 4) entry.data = t.u32(e + 8);
    if (!t.fits(entry.data, bytes) || !seen.insert(t.u16(e)).second) return std::nullopt;
    out.emplace_back(t.u16(e), entry);
  }
  return out;
}

const IfdEntry* find(const std::vector<std::pair<std::uint32_t, IfdEntry>>& ifd, std::uint32_t tag) {
  for (const auto& [t, e] : ifd)
    if (t == tag) return &e;
  return nullptr;
}

// An ASCII value up to its first zero byte; false for any other type.
bool ascii(const Tiff& t, const IfdEntry* e, std::string& out) {
  if (e == nullptr) return true;
  if (e->type != 2) return false;
  const char* p = reinterpret_cast<const char*>(t.at(e->data));
  out.assign(p, strnlen(p, e->count));
  return true;
}

bool parseExif(const std::vector<std::uint8_t>& block, ExifFields& h) {
  Tiff t(block);
  if (!t.init()) return false;
  auto ifd0 = readIfd(t, t.u32(4));
  if (!ifd0) return false;
  if (const IfdEntry* o = find(*ifd0, 0x0112)) {
    if (o->type != 3 || o->count != 1) return false;
    h.orientation = static_cast<int>(std::clamp<std::uint32_t>(t.u16(o->data), 1, 8));
  }
  const IfdEntry* exifPointer = find(*ifd0, 0x8769);
  if (exifPointer == nullptr) return true;
  if (exifPointer->type != 4 || exifPointer->count != 1) return false;
  auto exif = readIfd(t, t.u32(exifPointer->data));
  return exif && ascii(t, find(*exif, 0x9003), h.dateTime) && ascii(t, find(*exif, 0x9011), h.offset) &&
         ascii(t, find(*exif, 0x9291), h.subSeconds);
}

}  // namespace

std::optional<JpegHeader> readJpegHeader(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size < 4) return std::nullopt;
  Reader r(fd, static_cast<std::uint64_t>(st.st_size));
  std::vector<std::uint8_t> b;
  if (!r.get(0, 2, b) || b[0] != 0xFF || b[1] != 0xD8) return std::nullopt;
  JpegHeader h;
  bool frame = false, exif = false;
  std::uint64_t at = 2;
  for (int segments = 0; segments < kMaxSegments; ++segments) {
    if (!r.get(at, 4, b) || b[0] != 0xFF) return std::nullopt;
    const int marker = b[1];
    const std::uint32_t length = b[2] << 8 | b[3];
    if (marker == 0xDA) return frame ? std::optional<JpegHeader>(h) : std::nullopt;  // start of scan
    // Standalone markers, fill bytes, a second image start or an end: unusual.
    if (marker == 0xFF || marker == 0xD8 || marker == 0xD9 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7) ||
        length < 2)
      return std::nullopt;
    const std::uint64_t payload = at + 4, size = length - 2;
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      // A frame header: only 8-bit baseline, extended or progressive.
      if (frame || marker > 0xC2 || !r.get(payload, 6, b) || b[0] != 8) return std::nullopt;
      h.height = b[1] << 8 | b[2];
      h.width = b[3] << 8 | b[4];
      if (h.width == 0 || h.height == 0 || (b[5] != 1 && b[5] != 3 && b[5] != 4)) return std::nullopt;
      frame = true;
    } else if (marker == 0xE1 && size >= 4) {
      if (!r.get(payload, 4, b)) return std::nullopt;
      if (std::memcmp(b.data(), "Exif", 4) == 0) {
        if (exif || !r.get(payload, size, b) || size < 6 || b[4] != 0 || b[5] != 0) return std::nullopt;
        b.erase(b.begin(), b.begin() + 6);
        if (!parseExif(b, h)) return std::nullopt;
        exif = true;
      }
    }
    at = payload + size;
  }
  return std::nullopt;
}

std::optional<ExifFields> readExifBlock(const std::vector<std::uint8_t>& block) {
  ExifFields fields;
  if (!parseExif(block, fields)) return std::nullopt;
  return fields;
}

}  // namespace photolibrary::folder
