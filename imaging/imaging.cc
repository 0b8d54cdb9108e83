// Image primitives over the libvips C API.
//
// Decisions taken here (the callers rely on them):
// - Thumbnails: JPEG, PNG, WebP, GIF and the other simple formats go through
//   vips_thumbnail_buffer, which shrinks on load (JPEG DCT scaling, WebP
//   scaled decoding) and turns the picture upright by its EXIF orientation.
//   HEIF/AVIF and TIFF are loaded explicitly instead and reduced with
//   vips_thumbnail_image: for those, vips_thumbnail_buffer would pick a
//   stored preview (the HEIF thumbnail item, a TIFF pyramid level) whenever
//   it is big enough, and a thumbnail must always show the full image.
//   For HEIF, libheif applies irot/imir while decoding and libvips then drops
//   the EXIF orientation, so the picture is turned exactly once.
// - Stored pixel size: the size as coded, before orientation. For HEIF that
//   is the primary item's `ispe` box (read with libheif), because libvips
//   reports the size after irot.
// - Colour: every thumbnail leaves here as 8-bit sRGB, 3 bands or 4 with
//   alpha. Embedded ICC profiles are honoured; CMYK, grey, palette and
//   16-bit images are converted.
// - Damaged data: loaders run with fail_on=error, so a file whose data is
//   cut short or that the decoder reports as broken gives no thumbnail
//   (the caller's "decode_failed") instead of a half-grey picture whose hash
//   would match nothing and whose preview would mislead the user. Mere
//   warnings (stray bytes between markers, common in camera files) are
//   tolerated.
// - Decompression bombs: the header is read first; an image declaring more
//   than kMaxPixels pixels is refused before any pixel is decoded.
// - Loaders that libvips marks untrusted (PDF, SVG, JPEG 2000, ImageMagick
//   and the like) are blocked: they are large attack surfaces and photo
//   libraries do not hold such files as pictures.
// - Camera raws (through LibRaw) and BMP (through ImageMagick's BMP coder
//   alone) are decoded outside libvips' loaders: decoders.h, raw.cc, bmp.cc.
//   Their decoded pictures are reduced like those of HEIF and TIFF.
// - Files are read whole into memory (at most kMaxFileBytes) and decoded
//   from the buffer; nothing outlives an ImageSource.
#include "imaging/imaging.h"

#include <fcntl.h>
#include <libheif/heif.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vips/vips.h>
// After vips.h, which it needs; vips.h does not include it.
#include <vips/vector.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "imaging/decoders.h"
#include "imaging/headers.h"
#include "imaging/heif_grid.h"
#include "imaging/thumbnail.h"
#include "imaging/vips_ref.h"

namespace imaging {

// A decoded image in memory (vips_image_copy_memory), one reference owned.
struct Image::Impl {
  VipsRef image;
};

namespace {

// Files larger than this are not read (not a photo; would need a large
// allocation).
constexpr std::uint64_t kMaxFileBytes = 1ull << 30;

// Threads one decode may use; 0 until set (then: every core).
std::atomic<int> threadsPerDecode{0};

int decodeThreads() {
  int n = threadsPerDecode.load();
  return n > 0 ? n : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// Swallows every GLib log message: the programs write nothing to stderr.
void swallowLog(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

bool vipsReady() {
  static bool ready = false;
  static std::once_flag once;
  std::call_once(once, [] {
    const GLogLevelFlags all = static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION);
    for (const char* domain : {"VIPS", "GLib", "GLib-GObject", "GModule", "GLib-GIO"})
      g_log_set_handler(domain, all, swallowLog, nullptr);
    g_log_set_default_handler(swallowLog, nullptr);
    ready = vips_init("imaging") == 0;
    if (!ready) return;
    vips_cache_set_max(0);
    vips_cache_set_max_mem(0);
    vips_cache_set_max_files(0);
    vips_block_untrusted_set(TRUE);
    // No run-time code generation: the generator (orc) writes and removes
    // a file in $XDG_RUNTIME_DIR, $HOME, $TMPDIR or /tmp to map its code,
    // and the programs create no file anywhere. libvips' plain C loops
    // give the same pixels.
    vips_vector_set_enabled(FALSE);
    vips_leak_set(FALSE);  // VIPS_LEAK in the environment would report at exit
    // Fixed here so that no environment variable changes the behaviour.
    vips_concurrency_set(decodeThreads());
    vips_error_clear();
    detail::startBmpDecoder();
  });
  return ready;
}

// Who decodes the pixels: libvips' loaders, or one of decoders.h.
enum class Decoder { kVips, kRaw, kBmp };

struct Header {
  std::string loader;  // libvips nickname, e.g. "jpegload_buffer"
  int width = 0;       // as libvips reports it (HEIF: after irot); 0: unreadable
  int height = 0;
  bool hasIcc = false;  // carries an embedded ICC profile
  Decoder decoder = Decoder::kVips;
};

// The header of a camera raw or a BMP; nothing for every other format. A
// file of those kinds whose header cannot be read gets a size of 0, so that
// it fails to decode instead of reaching a libvips loader.
std::optional<Header> ownDecoderHeader(std::span<const std::uint8_t> data) {
  if (detail::isBmp(data)) {
    PixelSize size = bmpHeaderSize(data).value_or(PixelSize{});
    return Header{"bmp", static_cast<int>(size.width), static_cast<int>(size.height), false, Decoder::kBmp};
  }
  detail::RawHeader raw = detail::probeRaw(data);
  if (raw.kind == detail::RawKind::kNotRaw) return std::nullopt;
  return Header{"raw", static_cast<int>(raw.stored.width), static_cast<int>(raw.stored.height), false, Decoder::kRaw};
}

bool isHeif(const Header& h) { return h.loader.rfind("heifload", 0) == 0; }
bool isTiff(const Header& h) { return h.loader.rfind("tiffload", 0) == 0; }

// Identifies the container and reads its header, without decoding pixels.
std::optional<Header> readHeader(std::span<const std::uint8_t> data) {
  if (!vipsReady() || data.empty()) return std::nullopt;
  if (std::optional<Header> own = ownDecoderHeader(data)) return own;
  const char* typeName = vips_foreign_find_load_buffer(data.data(), data.size());
  if (!typeName) {
    vips_error_clear();
    return std::nullopt;
  }
  const char* nick = vips_nickname_find(g_type_from_name(typeName));
  VipsRef image(vips_image_new_from_buffer(data.data(), data.size(), "", "access", VIPS_ACCESS_SEQUENTIAL, nullptr));
  if (!image.p || !nick) {
    vips_error_clear();
    return std::nullopt;
  }
  return Header{nick, image.p->Xsize, image.p->Ysize, vips_image_get_typeof(image.p, VIPS_META_ICC_NAME) != 0};
}

// The coded size of a HEIF's primary image (its `ispe` box), before the
// irot/imir transforms; 0 x 0 when libheif cannot tell.
PixelSize heifStoredSize(std::span<const std::uint8_t> data) {
  PixelSize size;
  heif_context* ctx = heif_context_alloc();
  if (!ctx) return size;
  heif_image_handle* handle = nullptr;
  if (heif_context_read_from_memory_without_copy(ctx, data.data(), data.size(), nullptr).code == heif_error_Ok &&
      heif_context_get_primary_image_handle(ctx, &handle).code == heif_error_Ok) {
    size.width = std::max(0, heif_image_handle_get_ispe_width(handle));
    size.height = std::max(0, heif_image_handle_get_ispe_height(handle));
    heif_image_handle_release(handle);
  }
  heif_context_free(ctx);
  return size;
}

PixelSize storedSize(std::span<const std::uint8_t> data, const Header& header) {
  if (isHeif(header)) return heifStoredSize(data);
  return PixelSize{header.width, header.height};
}

// Drops the alpha band by compositing over black.
bool flattenOverBlack(VipsRef& image) {
  if (image.p->Bands != 4) return true;
  return vipsStep(image, [](VipsImage* in, VipsImage** out) { return vips_flatten(in, out, nullptr); });
}

// A HEIF primary image decoded by libheif itself, its tiles spread over
// decodeThreads() threads, as 8-bit interleaved RGB with irot/imir applied:
// the pixels libvips' HEIF loader gives, without its copies. A grid of tiles
// is decoded tile by tile on those threads (heif_grid.h), anything else by
// libheif in one piece. `image` views the decoded pixels and must be
// released before the holder.
struct HeifDecode {
  heif_context* ctx = nullptr;
  heif_image_handle* handle = nullptr;
  heif_image* decoded = nullptr;
  std::unique_ptr<std::uint8_t[]> packed;  // the rows without padding: a grid's, or libheif's padded ones
  const std::uint8_t* rgb = nullptr;       // the pixels `image` views, packed rows
  VipsRef image;
  ~HeifDecode() {
    image = VipsRef();
    if (decoded) heif_image_release(decoded);
    if (handle) heif_image_handle_release(handle);
    if (ctx) heif_context_free(ctx);
  }
};

enum class HeifOutcome { kDecoded, kFailed, kNotHandled };

// Decodes the primary image of a plain 8-bit HEIF without alpha; anything
// else (alpha, more bits, a colour profile the header did not report) is
// left to libvips' loader (kNotHandled). kFailed: damaged data.
HeifOutcome decodeHeif(std::span<const std::uint8_t> data, const Header& header, HeifDecode& out) {
  out.ctx = heif_context_alloc();
  if (!out.ctx) return HeifOutcome::kNotHandled;
  heif_context_set_max_decoding_threads(out.ctx, decodeThreads());
  if (heif_context_read_from_memory_without_copy(out.ctx, data.data(), data.size(), nullptr).code != heif_error_Ok ||
      heif_context_get_primary_image_handle(out.ctx, &out.handle).code != heif_error_Ok)
    return HeifOutcome::kFailed;
  if (heif_image_handle_has_alpha_channel(out.handle) || heif_image_handle_get_luma_bits_per_pixel(out.handle) != 8 ||
      heif_image_handle_get_chroma_bits_per_pixel(out.handle) != 8)
    return HeifOutcome::kNotHandled;
  heif_color_profile_type profile = heif_image_handle_get_color_profile_type(out.handle);
  const bool icc = profile == heif_color_profile_type_prof || profile == heif_color_profile_type_rICC;
  if (icc != header.hasIcc) return HeifOutcome::kNotHandled;
  const std::uint8_t* plane = nullptr;
  int w = 0, h = 0;
  std::optional<detail::HeifGrid> grid = detail::heifGridOf(data);
  std::optional<detail::RgbBuffer> tiled = grid ? detail::decodeHeifGrid(*grid, decodeThreads()) : std::nullopt;
  if (tiled) {
    w = tiled->width;
    h = tiled->height;
    out.packed = std::move(tiled->rgb);
    plane = out.packed.get();
  } else {
    // Not a grid taken tile by tile, or a tile failed: libheif decodes the
    // whole picture and decides.
    if (heif_decode_image(out.handle, &out.decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code !=
        heif_error_Ok)
      return HeifOutcome::kFailed;
    int stride = 0;
    plane = heif_image_get_plane_readonly(out.decoded, heif_channel_interleaved, &stride);
    w = heif_image_get_width(out.decoded, heif_channel_interleaved);
    h = heif_image_get_height(out.decoded, heif_channel_interleaved);
    if (!plane || stride < 3 * w) return HeifOutcome::kFailed;
    // libvips wants rows without padding; libheif may pad them.
    if (stride != 3 * w && w == header.width && h == header.height) {
      out.packed.reset(new std::uint8_t[static_cast<size_t>(3 * w) * h]);
      for (int y = 0; y < h; ++y)
        std::memcpy(out.packed.get() + static_cast<size_t>(3 * w) * y, plane + static_cast<size_t>(stride) * y,
                    static_cast<size_t>(3 * w));
      plane = out.packed.get();
    }
  }
  if (w != header.width || h != header.height) return HeifOutcome::kNotHandled;
  VipsRef rows(vips_image_new_from_memory(plane, static_cast<size_t>(3 * w) * h, w, h, 3, VIPS_FORMAT_UCHAR));
  if (!rows.p) {
    vips_error_clear();
    return HeifOutcome::kFailed;
  }
  if (!vipsStep(rows, [](VipsImage* in, VipsImage** o) {
        return vips_copy(in, o, "interpretation", VIPS_INTERPRETATION_sRGB, nullptr);
      }))
    return HeifOutcome::kFailed;
  if (icc) {
    std::vector<std::uint8_t> blob(heif_image_handle_get_raw_color_profile_size(out.handle));
    if (blob.empty() || heif_image_handle_get_raw_color_profile(out.handle, blob.data()).code != heif_error_Ok)
      return HeifOutcome::kNotHandled;
    vips_image_set_blob_copy(rows.p, VIPS_META_ICC_NAME, blob.data(), blob.size());
  }
  out.image = std::move(rows);
  out.rgb = plane;
  return HeifOutcome::kDecoded;
}

bool isJpeg(const Header& h) { return h.loader.rfind("jpegload", 0) == 0; }

// The DCT scaling (1, 2, 4 or 8) that keeps a JPEG's longer side, rounded
// up as libjpeg rounds it, at least `minPixel`.
int jpegShrink(const Header& header, int minPixel) {
  const int longer = std::max(header.width, header.height);
  int shrink = 1;
  while (shrink < 8 && (longer + 2 * shrink - 1) / (2 * shrink) >= minPixel) shrink *= 2;
  return shrink;
}

// The full picture as a libvips image, not decoded yet where libvips loads
// it: a camera raw or BMP decoded by its own decoder, HEIF's primary image
// (never the thumbnail item), a TIFF's first page, a JPEG at DCT scale
// 1/jpegShrinkBy; nothing when it cannot be read.
std::optional<VipsRef> fullPicture(std::span<const std::uint8_t> data, const Header& header, int jpegShrinkBy) {
  VipsRef full(header.decoder == Decoder::kRaw   ? detail::decodeRaw(data).value_or(VipsRef()).release()
               : header.decoder == Decoder::kBmp ? detail::decodeBmp(data).value_or(VipsRef()).release()
               : isHeif(header) ? vips_image_new_from_buffer(data.data(), data.size(), "", "thumbnail", FALSE, "page", 0,
                                                             "fail_on", VIPS_FAIL_ON_ERROR, nullptr)
               : isJpeg(header) ? vips_image_new_from_buffer(data.data(), data.size(), "", "shrink", jpegShrinkBy,
                                                             "access", VIPS_ACCESS_SEQUENTIAL, "fail_on",
                                                             VIPS_FAIL_ON_ERROR, nullptr)
               : isTiff(header) ? vips_image_new_from_buffer(data.data(), data.size(), "", "page", 0, "fail_on",
                                                             VIPS_FAIL_ON_ERROR, nullptr)
                                : vips_image_new_from_buffer(data.data(), data.size(), "", "access",
                                                             VIPS_ACCESS_SEQUENTIAL, "fail_on",
                                                             VIPS_FAIL_ON_ERROR, nullptr));
  if (!full.p) {
    vips_error_clear();
    return std::nullopt;
  }
  return full;
}

// A thumbnail pipeline computed into memory as 8-bit sRGB, while the
// encoded bytes are alive; the result owns its pixels.
std::optional<Image> computed(VipsRef thumb) {
  if (!detail::toSrgb8(thumb)) return std::nullopt;
  VipsRef memory(vips_image_copy_memory(thumb.p));
  if (!memory.p) {
    vips_error_clear();
    return std::nullopt;
  }
  return Image(std::make_unique<Image::Impl>(Image::Impl{std::move(memory)}));
}

bool declaresTooManyPixels(const Header& header) {
  return header.width < 1 || header.height < 1 ||
         static_cast<std::uint64_t>(header.width) * static_cast<std::uint64_t>(header.height) > kMaxPixels;
}

// With an embedded profile, colour-manage into sRGB (libvips 8.14 ignores
// the profile otherwise). Without one, no transform at all: an lcms round
// trip through the built-in sRGB profile shifts colours visibly.
const char* exportProfileFor(const Header& header) { return header.hasIcc ? "srgb" : nullptr; }

// The picture bounded to maxPixel a side; minPixel > 0 lets a JPEG decode at
// the coarsest scale still at least minPixel (reducedFrom).
std::optional<Image> thumbnailOf(std::span<const std::uint8_t> data, const Header& header, int maxPixel,
                                 int minPixel = 0) {
  if (maxPixel < 1) return std::nullopt;
  maxPixel = std::min(maxPixel, 10000000);
  if (declaresTooManyPixels(header)) return std::nullopt;

  const char* exportProfile = exportProfileFor(header);
  HeifDecode heif;  // outlives `thumb`'s pixels: they are copied to memory below
  HeifOutcome heifOutcome = isHeif(header) ? decodeHeif(data, header, heif) : HeifOutcome::kNotHandled;
  if (heifOutcome == HeifOutcome::kFailed) return std::nullopt;
  if (heifOutcome == HeifOutcome::kDecoded) {
    std::optional<VipsRef> memory =
        detail::thumbnailInMemory(heif.image.p, heif.rgb, maxPixel, exportProfile, decodeThreads());
    if (!memory) return std::nullopt;
    return Image(std::make_unique<Image::Impl>(Image::Impl{std::move(*memory)}));
  }
  if (header.decoder != Decoder::kVips || isHeif(header) || isTiff(header) || (minPixel > 0 && isJpeg(header))) {
    // A JPEG at the scale reducedFrom asks for.
    std::optional<VipsRef> full = fullPicture(data, header, minPixel > 0 ? jpegShrink(header, minPixel) : 1);
    if (!full) return std::nullopt;
    std::optional<VipsRef> reduced = detail::thumbnailPipeline(full->p, maxPixel, exportProfile);
    if (!reduced) return std::nullopt;
    return computed(std::move(*reduced));
  }
  VipsImage* out = nullptr;
  // fail_on must travel in the loader's option string: libvips 8.14's
  // thumbnail_buffer does not hand its own fail_on to the loader.
  if (vips_thumbnail_buffer(const_cast<std::uint8_t*>(data.data()), data.size(), &out, maxPixel, "height", maxPixel,
                            "size", VIPS_SIZE_DOWN, "option_string", "fail_on=error", "export_profile", exportProfile,
                            nullptr)) {
    vips_error_clear();
    return std::nullopt;
  }
  return computed(VipsRef(out));
}

// Thumbnails bounded to each of maxPixels, each the pixels thumbnailOf
// gives for its size, decoding the picture once for all of them where its
// decode does not depend on the size. It does for JPEG and WebP, which
// libvips decodes straight at a reduced scale chosen by the size, and for
// the other formats libvips thumbnails from the file: those once per size.
std::vector<std::optional<Image>> thumbnailsOf(std::span<const std::uint8_t> data, const Header& header,
                                               std::span<const int> maxPixels) {
  std::vector<std::optional<Image>> out;
  const bool sizeFree = header.decoder != Decoder::kVips || isHeif(header) || isTiff(header) ||
                        header.loader.rfind("pngload", 0) == 0 || header.loader.rfind("gifload", 0) == 0;
  if (maxPixels.size() < 2 || !sizeFree) {
    for (int maxPixel : maxPixels) out.push_back(thumbnailOf(data, header, maxPixel));
    return out;
  }
  out.resize(maxPixels.size());
  if (declaresTooManyPixels(header)) return out;
  const char* exportProfile = exportProfileFor(header);
  HeifDecode heif;
  HeifOutcome heifOutcome = isHeif(header) ? decodeHeif(data, header, heif) : HeifOutcome::kNotHandled;
  if (heifOutcome == HeifOutcome::kFailed) return out;
  std::optional<VipsRef> full;
  if (heifOutcome == HeifOutcome::kNotHandled) {
    full = fullPicture(data, header, 1);
    if (full) full = VipsRef(vips_image_copy_memory(full->p));  // decoded once, here
    if (!full || !full->p) {
      vips_error_clear();
      return out;
    }
  }
  for (size_t k = 0; k < maxPixels.size(); ++k) {
    if (maxPixels[k] < 1) continue;
    const int maxPixel = std::min(maxPixels[k], 10000000);
    // Packed 8-bit RGB in memory takes thumbnailInMemory's fast vertical pass.
    VipsImage* picture = heifOutcome == HeifOutcome::kDecoded ? heif.image.p : full->p;
    const std::uint8_t* rgb = heifOutcome == HeifOutcome::kDecoded ? heif.rgb
                              : picture->Bands == 3 && picture->BandFmt == VIPS_FORMAT_UCHAR
                                  ? static_cast<const std::uint8_t*>(VIPS_IMAGE_ADDR(picture, 0, 0))
                                  : nullptr;
    std::optional<VipsRef> memory = detail::thumbnailInMemory(picture, rgb, maxPixel, exportProfile, decodeThreads());
    if (memory) out[k] = Image(std::make_unique<Image::Impl>(Image::Impl{std::move(*memory)}));
  }
  return out;
}

// The image as a new reference, or nothing for an empty Image.
std::optional<VipsRef> vipsOf(const Image& image) {
  if (image.empty()) return std::nullopt;
  VipsImage* p = image.impl()->image.p;
  g_object_ref(p);
  return VipsRef(p);
}

}  // namespace

// ---- Image ----

Image::Image() = default;
Image::~Image() = default;
Image::Image(Image&&) noexcept = default;
Image& Image::operator=(Image&&) noexcept = default;
Image::Image(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

int Image::width() const { return empty() ? 0 : impl_->image.p->Xsize; }
int Image::height() const { return empty() ? 0 : impl_->image.p->Ysize; }
int Image::bands() const { return empty() ? 0 : impl_->image.p->Bands; }
bool Image::empty() const { return !impl_ || !impl_->image.p; }

// ---- start-up ----

void initImaging() { vipsReady(); }

void setThreadsPerDecode(int threads) {
  threadsPerDecode.store(std::max(1, threads));
  if (vipsReady()) vips_concurrency_set(decodeThreads());
}

// ---- hash ----

std::optional<std::uint64_t> dhash(const Image& image) {
  if (!vipsReady()) return std::nullopt;
  std::optional<VipsRef> v = vipsOf(image);
  if (!v) return std::nullopt;
  VipsRef img = std::move(*v);
  // Float throughout, so that the only rounding is the final one to 8 bits.
  if (!vipsStep(img, [](VipsImage* in, VipsImage** out) { return vips_cast(in, out, VIPS_FORMAT_FLOAT, nullptr); }) ||
      !flattenOverBlack(img))
    return std::nullopt;
  if (img.p->Xsize != 9 || img.p->Ysize != 8) {
    // Independent scales in x and y: width and height each change by their
    // own factor. Box shrink for the integer part, Lanczos-3 for the rest
    // (upsampling, for images smaller than the grid, interpolates).
    double hscale = 9.0 / img.p->Xsize;
    double vscale = 8.0 / img.p->Ysize;
    if (!vipsStep(img, [&](VipsImage* in, VipsImage** out) {
          return vips_resize(in, out, hscale, "vscale", vscale, "kernel", VIPS_KERNEL_LANCZOS3, nullptr);
        }))
      return std::nullopt;
    // Rounding of the output size can leave a pixel more or less; make it
    // exactly 9 x 8 by repeating or dropping the edge.
    if ((img.p->Xsize != 9 || img.p->Ysize != 8) && !vipsStep(img, [](VipsImage* in, VipsImage** out) {
          return vips_embed(in, out, 0, 0, 9, 8, "extend", VIPS_EXTEND_COPY, nullptr);
        }))
      return std::nullopt;
  }
  size_t size = 0;
  void* mem = vips_image_write_to_memory(img.p, &size);
  if (!mem) {
    vips_error_clear();
    return std::nullopt;
  }
  const float* px = static_cast<const float*>(mem);
  const int bands = img.p->Bands;
  if (size != static_cast<size_t>(72 * bands) * sizeof(float) || bands != 3) {
    g_free(mem);
    return std::nullopt;
  }
  // The 9 x 8 grid, row 0 on top, byte 9r + c; grey is sRGB luma (Rec. 709
  // weights on the encoded values), rounded to 8 bits.
  std::uint8_t grid[72] = {};
  for (int i = 0; i < 72; ++i) {
    double y = 0.2126 * px[i * 3] + 0.7152 * px[i * 3 + 1] + 0.0722 * px[i * 3 + 2];
    grid[i] = static_cast<std::uint8_t>(std::clamp(std::lround(y), 0L, 255L));
  }
  g_free(mem);
  std::uint64_t hash = 0;
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) hash = (hash << 1) | (grid[9 * r + c] > grid[9 * r + c + 1] ? 1u : 0u);
  return hash;
}

std::string hashText(std::uint64_t hash) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// ---- thumbnails ----

namespace {

std::optional<Thumb> thumbWithin(std::span<const std::uint8_t> data, int maxPixel, int minPixel = 0) {
  std::optional<Header> header = readHeader(data);
  if (!header) return std::nullopt;
  std::optional<Image> image = thumbnailOf(data, *header, maxPixel, minPixel);
  if (!image) return std::nullopt;
  PixelSize size = storedSize(data, *header);
  return Thumb{std::move(*image), size.width, size.height};
}

}  // namespace

std::optional<Thumb> thumbFrom(std::span<const std::uint8_t> data, int maxPixel) {
  return thumbWithin(data, maxPixel);
}

std::optional<Thumb> reducedFrom(std::span<const std::uint8_t> data, int minPixel, int maxPixel) {
  return thumbWithin(data, maxPixel, std::clamp(minPixel, 1, std::max(1, maxPixel)));
}

// ---- JPEG and base64 ----

std::string base64(std::span<const std::uint8_t> bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(), static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(std::max(n, 0)));
  return out;
}

namespace {

// The image without alpha (composited over black, as the hash sees it), 8
// bits per band.
std::optional<VipsRef> opaqueRgb8(const Image& image) {
  if (!vipsReady()) return std::nullopt;
  std::optional<VipsRef> img = vipsOf(image);
  if (!img || !flattenOverBlack(*img)) return std::nullopt;
  if (img->p->BandFmt != VIPS_FORMAT_UCHAR &&
      !vipsStep(*img, [](VipsImage* in, VipsImage** out) { return vips_cast(in, out, VIPS_FORMAT_UCHAR, nullptr); }))
    return std::nullopt;
  return img;
}

}  // namespace

std::optional<std::string> jpegBase64(const Image& image, double quality) {
  // JPEG has no alpha.
  std::optional<VipsRef> opaque = opaqueRgb8(image);
  if (!opaque) return std::nullopt;
  VipsRef img = std::move(*opaque);
  const double q = std::isnan(quality) ? 0.0 : std::round(quality * 100.0);
  const int libjpegQuality = static_cast<int>(std::clamp(q, 1.0, 100.0));
  void* buf = nullptr;
  size_t len = 0;
  if (vips_jpegsave_buffer(img.p, &buf, &len, "Q", libjpegQuality, "strip", TRUE, nullptr)) {
    vips_error_clear();
    return std::nullopt;
  }
  std::string text = base64({static_cast<const std::uint8_t*>(buf), len});
  g_free(buf);
  return text;
}

std::optional<RgbPixels> rgbPixels(const Image& image) {
  std::optional<VipsRef> opaque = opaqueRgb8(image);
  if (!opaque || opaque->p->Bands != 3) return std::nullopt;
  VipsRef img = std::move(*opaque);
  size_t size = 0;
  void* mem = vips_image_write_to_memory(img.p, &size);
  if (!mem) {
    vips_error_clear();
    return std::nullopt;
  }
  RgbPixels out{img.p->Xsize, img.p->Ysize, {}};
  out.rgb.assign(static_cast<std::uint8_t*>(mem), static_cast<std::uint8_t*>(mem) + size);
  g_free(mem);
  return out;
}

std::optional<std::vector<std::uint8_t>> fromBase64(std::string_view text) {
  if (text.size() % 4 != 0 || text.size() > static_cast<std::size_t>(INT32_MAX)) return std::nullopt;
  std::vector<std::uint8_t> out(text.size() / 4 * 3);
  const int n =
      EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  std::size_t pad = 0;
  while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
  out.resize(static_cast<std::size_t>(n) - pad);
  return out;
}

// ---- regions ----

std::optional<Image> cropped(const Image& image, Box box) {
  std::optional<VipsRef> img = vipsOf(image);
  if (!img || box.width < 1 || box.height < 1 || box.left < 0 || box.top < 0 || box.left > image.width() - box.width ||
      box.top > image.height() - box.height)
    return std::nullopt;
  if (!vipsStep(*img, [&](VipsImage* in, VipsImage** out) {
        return vips_crop(in, out, box.left, box.top, box.width, box.height, nullptr);
      }))
    return std::nullopt;
  VipsRef memory(vips_image_copy_memory(img->p));
  if (!memory.p) {
    vips_error_clear();
    return std::nullopt;
  }
  return Image(std::make_unique<Image::Impl>(Image::Impl{std::move(memory)}));
}

namespace {

// The median of nine values, by the classic 19-exchange network.
std::uint8_t median9(std::array<std::uint8_t, 9> v) {
  auto sort2 = [&](int i, int j) {
    if (v[i] > v[j]) std::swap(v[i], v[j]);
  };
  sort2(1, 2), sort2(4, 5), sort2(7, 8), sort2(0, 1), sort2(3, 4), sort2(6, 7), sort2(1, 2), sort2(4, 5);
  sort2(7, 8), sort2(0, 3), sort2(5, 8), sort2(4, 7), sort2(3, 6), sort2(1, 4), sort2(2, 5), sort2(4, 7);
  sort2(4, 2), sort2(6, 4), sort2(4, 2);
  return v[4];
}

}  // namespace

std::optional<Box> contentBox(const Image& image, double threshold) {
  // Plain loops over the pixels: a libvips pipeline per trim costs ten times
  // the decoding of a thumbnail in thread hand-offs alone.
  std::optional<RgbPixels> px = rgbPixels(image);
  if (!px || px->width < 1 || px->height < 1) return std::nullopt;
  const int w = px->width, h = px->height;
  auto at = [&](int x, int y, int c) { return px->rgb[(static_cast<std::size_t>(y) * w + x) * 3 + c]; };
  Box box{0, 0, w, h};
  // True when the 3 x 3 median around (x, y), edges repeated, differs from
  // `bg` by more than the threshold in some channel.
  auto differs = [&](int x, int y, const std::array<int, 3>& bg) {
    for (int c = 0; c < 3; ++c) {
      std::array<std::uint8_t, 9> v;
      int k = 0;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) v[k++] = at(std::clamp(x + dx, 0, w - 1), std::clamp(y + dy, 0, h - 1), c);
      if (std::abs(median9(v) - bg[c]) > threshold) return true;
    }
    return false;
  };
  auto trimAgainst = [&](int cx, int cy) {
    const std::array<int, 3> bg{at(cx, cy, 0), at(cx, cy, 1), at(cx, cy, 2)};
    auto rowDiffers = [&](int y) {
      for (int x = box.left; x < box.left + box.width; ++x)
        if (differs(x, y, bg)) return true;
      return false;
    };
    auto columnDiffers = [&](int x, int top, int bottom) {
      for (int y = top; y < bottom; ++y)
        if (differs(x, y, bg)) return true;
      return false;
    };
    int top = box.top, bottom = box.top + box.height;
    while (top < bottom && !rowDiffers(top)) ++top;
    // Nothing differs from the corner: a flat image, nothing to trim.
    if (top == bottom) return;
    while (!rowDiffers(bottom - 1)) --bottom;
    int left = box.left, right = box.left + box.width;
    while (!columnDiffers(left, top, bottom)) ++left;
    while (!columnDiffers(right - 1, top, bottom)) --right;
    box = Box{left, top, right - left, bottom - top};
  };
  trimAgainst(0, 0);
  trimAgainst(box.left + box.width - 1, box.top + box.height - 1);
  return box;
}

// ---- files ----

struct ImageSource::Impl {
  std::vector<std::uint8_t> bytes;
  Header header;
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
  if (!vipsReady()) return std::nullopt;
  std::optional<std::vector<std::uint8_t>> bytes = readRegularFile(path);
  if (!bytes) return std::nullopt;
  std::optional<Header> header = readHeader(*bytes);
  if (!header) return std::nullopt;
  auto impl = std::make_unique<ImageSource::Impl>();
  impl->bytes = std::move(*bytes);
  impl->header = std::move(*header);
  impl->stored = storedSize(impl->bytes, impl->header);
  return ImageSource(std::move(impl));
}

std::optional<Image> makeThumb(const ImageSource& source, int maxPixel) {
  if (!source.impl()) return std::nullopt;
  return thumbnailOf(source.impl()->bytes, source.impl()->header, maxPixel);
}

std::vector<std::optional<Image>> makeThumbs(const ImageSource& source, std::span<const int> maxPixels) {
  if (!source.impl()) return std::vector<std::optional<Image>>(maxPixels.size());
  return thumbnailsOf(source.impl()->bytes, source.impl()->header, maxPixels);
}

PixelSize pixelSize(const ImageSource& source) {
  if (!source.impl()) return PixelSize{};
  return source.impl()->stored;
}

}  // namespace imaging
