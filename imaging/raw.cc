// Camera raws through LibRaw.
//
// - Which bytes are a raw: only data that starts like a raw container (TIFF,
//   or the own signatures of ORF, RW2, CR3, RAF, X3F, MRW, CRW) is shown to
//   LibRaw, so that its identification by file size alone never claims a
//   JPEG or PNG. A TIFF that LibRaw does not identify stays libvips'
//   (scanner and editor TIFFs), unless it is built like a raw: a DNG, or a
//   TIFF whose first image is flagged as a reduced-resolution preview.
//   Such a file is refused rather than shown at its preview.
// - Pictures come from the sensor data, never from an embedded preview,
//   demosaiced at half size: the full picture, binned 2 x 2, at a quarter
//   of the work of a full demosaic.
// - Any data error LibRaw reports (a read past the end included) refuses
//   the picture, as fail_on=error does for libvips' loaders.
// - LibRaw objects are not shared: each call has its own (LibRaw is
//   re-entrant per object in its thread-safe build, libraw_r). LibRaw's
//   default error callbacks print to stderr; they are replaced.
#include <fcntl.h>
#include <libraw/libraw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "imaging/decoders.h"
#include "imaging/headers.h"

namespace imaging {
namespace detail {
namespace {

bool startsWith(std::span<const std::uint8_t> data, size_t offset, const char* text, size_t n) {
  return data.size() >= offset + n && std::memcmp(data.data() + offset, text, n) == 0;
}

bool isTiff(std::span<const std::uint8_t> data) {
  return startsWith(data, 0, "II*\0", 4) || startsWith(data, 0, "MM\0*", 4);
}

// Containers that hold nothing but camera raws.
bool hasRawOnlySignature(std::span<const std::uint8_t> data) {
  return startsWith(data, 0, "IIRO", 4) || startsWith(data, 0, "IIRS", 4) || startsWith(data, 0, "MMOR", 4) ||
         startsWith(data, 0, "IIU\0", 4) || startsWith(data, 4, "ftypcrx ", 8) ||
         startsWith(data, 0, "FUJIFILMCCD-RAW", 15) || startsWith(data, 0, "FOVb", 4) ||
         startsWith(data, 0, "\0MRM", 4) || startsWith(data, 6, "HEAPCCDR", 8) ||
         (isTiff(data) && startsWith(data, 8, "CR", 2));  // CR2
}

// A TIFF whose first directory has the DNGVersion tag, or whose first
// image is flagged as a reduced-resolution version of another.
bool tiffBuiltLikeRaw(std::span<const std::uint8_t> data) {
  if (!isTiff(data) || data.size() < 8) return false;
  const bool little = data[0] == 'I';
  auto u16 = [&](size_t at) -> std::uint32_t {
    return little ? data[at] | data[at + 1] << 8 : data[at] << 8 | data[at + 1];
  };
  auto u32 = [&](size_t at) -> std::uint32_t {
    return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
  };
  const size_t ifd = u32(4);
  if (ifd + 2 > data.size()) return false;
  const size_t count = u16(ifd);
  for (size_t k = 0; k < count && ifd + 2 + 12 * (k + 1) <= data.size(); ++k) {
    const size_t entry = ifd + 2 + 12 * k;
    const std::uint32_t tag = u16(entry);
    if (tag == 0xc612) return true;  // DNGVersion
    if (tag == 0x00fe) {             // NewSubfileType (LONG), bit 0: reduced resolution
      const std::uint32_t value = u16(entry + 2) == 4 ? u32(entry + 8) : u16(entry + 8);
      if (value & 1u) return true;
    }
  }
  return false;
}

void noteDataError(void* flag, const char*, const int) { *static_cast<bool*>(flag) = true; }

// One LibRaw object whose errors are recorded, never printed.
struct Session {
  Session() : raw(std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_MEMERR_CALLBACK | LIBRAW_OPIONS_NO_DATAERR_CALLBACK)) {
    raw->set_dataerror_handler(noteDataError, &dataError);
  }
  bool openBuffer(std::span<const std::uint8_t> data) {
    return raw->open_buffer(const_cast<std::uint8_t*>(data.data()), data.size()) == LIBRAW_SUCCESS && !dataError &&
           raw->imgdata.sizes.width > 0 && raw->imgdata.sizes.height > 0;
  }
  std::unique_ptr<LibRaw> raw;
  bool dataError = false;
};

bool withinPixelLimit(const libraw_image_sizes_t& s) {
  return static_cast<std::uint64_t>(s.raw_width) * s.raw_height <= kMaxPixels &&
         static_cast<std::uint64_t>(s.width) * s.height <= kMaxPixels;
}

}  // namespace

RawHeader probeRaw(std::span<const std::uint8_t> data) {
  if (!isTiff(data) && !hasRawOnlySignature(data)) return {};
  try {
    Session s;
    if (s.openBuffer(data))
      return {RawKind::kRaw, {s.raw->imgdata.sizes.width, s.raw->imgdata.sizes.height}};
  } catch (...) {  // LibRaw reports by codes; this is for a failed allocation
  }
  if (hasRawOnlySignature(data) || tiffBuiltLikeRaw(data)) return {RawKind::kUnreadableRaw, {}};
  return {};
}

std::optional<VipsRef> decodeRaw(std::span<const std::uint8_t> data) {
  try {
    Session s;
    if (!s.openBuffer(data) || !withinPixelLimit(s.raw->imgdata.sizes)) return std::nullopt;
    libraw_output_params_t& p = s.raw->imgdata.params;
    p.half_size = 1;
    p.use_camera_wb = 1;
    p.output_color = 1;  // sRGB
    p.output_bps = 8;
    if (s.raw->unpack() != LIBRAW_SUCCESS || s.dataError || s.raw->dcraw_process() != LIBRAW_SUCCESS ||
        s.dataError)
      return std::nullopt;
    int err = 0;
    libraw_processed_image_t* out = s.raw->dcraw_make_mem_image(&err);
    if (!out) return std::nullopt;
    std::unique_ptr<libraw_processed_image_t, void (*)(libraw_processed_image_t*)> owned(out, LibRaw::dcraw_clear_mem);
    if (out->type != LIBRAW_IMAGE_BITMAP || out->bits != 8 || (out->colors != 1 && out->colors != 3) ||
        static_cast<size_t>(out->width) * out->height * out->colors > out->data_size)
      return std::nullopt;
    VipsRef image(vips_image_new_from_memory_copy(out->data, out->data_size, out->width, out->height, out->colors,
                                                  VIPS_FORMAT_UCHAR));
    if (!image.p) {
      vips_error_clear();
      return std::nullopt;
    }
    image.p->Type = out->colors == 1 ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB;
    return image;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace detail

namespace {

// LibRaw's input over a file descriptor, read through a small buffer with
// pread, so that the inventory reads a raw's header without reading the
// file whole.
class FdStream : public LibRaw_abstract_datastream {
 public:
  FdStream(int fd, std::int64_t size) : fd_(fd), size_(size) {}
  int valid() override { return fd_ >= 0; }
  int read(void* ptr, size_t size, size_t nmemb) override {
    if (size == 0) return 0;
    const size_t want = size * nmemb;
    size_t got = 0;
    auto* out = static_cast<std::uint8_t*>(ptr);
    while (got < want && fill()) {
      const size_t n = std::min(want - got, static_cast<size_t>(bufEnd_ - pos_));
      std::memcpy(out + got, buf_ + (pos_ - bufStart_), n);
      pos_ += static_cast<std::int64_t>(n);
      got += n;
    }
    return static_cast<int>(got / size);
  }
  int seek(INT64 offset, int whence) override {
    std::int64_t base = whence == SEEK_CUR ? pos_ : whence == SEEK_END ? size_ : 0;
    pos_ = std::clamp<std::int64_t>(base + offset, 0, size_);
    return 0;
  }
  INT64 tell() override { return pos_; }
  INT64 size() override { return size_; }
  int get_char() override {
    if (!fill()) return -1;
    return buf_[pos_++ - bufStart_];
  }
  char* gets(char* s, int n) override {
    if (n <= 0) return nullptr;
    int k = 0;
    while (k < n - 1) {
      int c = get_char();
      if (c < 0) break;
      s[k++] = static_cast<char>(c);
      if (c == '\n') break;
    }
    s[k] = '\0';
    return k > 0 ? s : nullptr;
  }
  int scanf_one(const char* fmt, void* val) override {
    // As LibRaw's own buffer stream: scan at the position, then step over
    // the token (at most 24 characters).
    if (pos_ >= size_) return EOF;
    char text[32] = {};
    const std::int64_t start = pos_;
    read(text, 1, sizeof text - 1);
    pos_ = start;
    const int res = std::sscanf(text, fmt, val);
    if (res > 0) {
      for (int x = 1; pos_ < size_; ++x) {
        ++pos_;
        const char c = x < static_cast<int>(sizeof text) - 1 ? text[x] : '\0';
        if (c == '\0' || c == ' ' || c == '\t' || c == '\n' || x > 24) break;
      }
    }
    return res;
  }
  int eof() override { return pos_ >= size_; }
  void* make_jas_stream() override { return nullptr; }

 private:
  // Makes the byte at pos_ buffered; false at the end or on a read error.
  bool fill() {
    if (pos_ >= bufStart_ && pos_ < bufEnd_) return true;
    if (pos_ >= size_) return false;
    ssize_t n;
    do n = ::pread(fd_, buf_, sizeof buf_, pos_);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    bufStart_ = pos_;
    bufEnd_ = pos_ + n;
    return true;
  }

  int fd_;
  std::int64_t size_;
  std::int64_t pos_ = 0;
  std::int64_t bufStart_ = 0, bufEnd_ = 0;
  std::uint8_t buf_[16384];
};

}  // namespace

std::optional<PixelSize> rawUprightSize(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  try {
    FdStream stream(fd, st.st_size);
    detail::Session s;
    if (s.raw->open_datastream(&stream) != LIBRAW_SUCCESS || s.dataError) return std::nullopt;
    const libraw_image_sizes_t& z = s.raw->imgdata.sizes;
    if (z.width <= 0 || z.height <= 0) return std::nullopt;
    // Flip bit 2 transposes the picture (a quarter turn, either way).
    if (z.flip & 4) return PixelSize{z.height, z.width};
    return PixelSize{z.width, z.height};
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace imaging
