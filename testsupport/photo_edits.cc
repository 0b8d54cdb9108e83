#include "testsupport/photo_edits.h"

#include <vips/vips.h>

#include <algorithm>

#include "imaging/vips_ref.h"

namespace testsupport {
namespace {

using imaging::VipsRef;

std::optional<std::vector<std::uint8_t>> jpeg(VipsImage* image, int quality) {
  void* buf = nullptr;
  size_t len = 0;
  if (!image || vips_jpegsave_buffer(image, &buf, &len, "Q", quality, nullptr) != 0) {
    vips_error_clear();
    return std::nullopt;
  }
  std::vector<std::uint8_t> out(static_cast<std::uint8_t*>(buf), static_cast<std::uint8_t*>(buf) + len);
  g_free(buf);
  return out;
}

// The caption's text, white on black, rendered once and scaled to each
// photo: every vips_text call clears Pango's font cache, which races with
// Pango's own font thread and crashed about one bench run in four (SIGFPE in
// g_hash_table_lookup). Kept for the process; nothing when rendering failed.
VipsImage* captionText() {
  static VipsImage* const text = [] {
    VipsRef t;
    if (vips_text(&t.p, "Summer holiday, day 3", "width", 1200, "height", 100, nullptr) != 0) {
      vips_error_clear();
      return static_cast<VipsImage*>(nullptr);
    }
    VipsImage* kept = vips_image_copy_memory(t.p);
    if (!kept) vips_error_clear();
    return kept;
  }();
  return text;
}

}  // namespace

const char* photoEditName(PhotoEdit edit) {
  switch (edit) {
    case PhotoEdit::kResizeHalf:
      return "resized to half";
    case PhotoEdit::kReencode:
      return "re-encoded q40";
    case PhotoEdit::kBrighten:
      return "brightened 15%";
    case PhotoEdit::kCropSides:
      return "cropped 5% each side";
    case PhotoEdit::kCropCorner:
      return "cropped 10% right+bottom";
    case PhotoEdit::kCropCornerTopLeft:
      return "cropped 10% left+top";
    case PhotoEdit::kCaption:
      return "captioned (12% bar)";
    case PhotoEdit::kPad:
      return "padded 10% white";
    case PhotoEdit::kCrop15:
      return "cropped 15% centred";
    case PhotoEdit::kCrop20:
      return "cropped 20% centred";
    case PhotoEdit::kLetterbox:
      return "letterboxed black 16:9";
    case PhotoEdit::kCropCorner15:
      return "cropped 15% right+bottom";
    case PhotoEdit::kGrey:
      return "grey";
    case PhotoEdit::kMirror:
      return "mirrored";
  }
  return "?";
}

std::optional<std::vector<std::uint8_t>> editPhoto(std::span<const std::uint8_t> encoded, PhotoEdit edit) {
  if (VIPS_INIT("testsupport")) return std::nullopt;
  VipsRef img(vips_image_new_from_buffer(encoded.data(), encoded.size(), "", nullptr));
  if (!img.p ||
      !imaging::vipsStep(img, [](VipsImage* in, VipsImage** out) { return vips_autorot(in, out, nullptr); }) ||
      !imaging::vipsStep(img, [](VipsImage* in, VipsImage** out) {
        return vips_colourspace(in, out, VIPS_INTERPRETATION_sRGB, nullptr);
      })) {
    vips_error_clear();
    return std::nullopt;
  }
  if (vips_image_hasalpha(img.p))
    imaging::vipsStep(img, [](VipsImage* in, VipsImage** out) { return vips_flatten(in, out, nullptr); });
  const int w = vips_image_get_width(img.p), h = vips_image_get_height(img.p);
  VipsRef out;
  switch (edit) {
    case PhotoEdit::kResizeHalf:
      vips_resize(img.p, &out.p, 0.5, nullptr);
      break;
    case PhotoEdit::kReencode:
      return jpeg(img.p, 40);
    case PhotoEdit::kBrighten: {
      VipsRef lin;
      if (vips_linear1(img.p, &lin.p, 1.15, 0.0, nullptr) == 0) vips_cast_uchar(lin.p, &out.p, nullptr);
      break;
    }
    case PhotoEdit::kCropSides:
      vips_crop(img.p, &out.p, w / 20, h / 20, w - w / 10, h - h / 10, nullptr);
      break;
    case PhotoEdit::kCropCorner:
      vips_crop(img.p, &out.p, 0, 0, w - w / 10, h - h / 10, nullptr);
      break;
    case PhotoEdit::kCropCorner15:
      vips_crop(img.p, &out.p, 0, 0, w - w * 15 / 100, h - h * 15 / 100, nullptr);
      break;
    case PhotoEdit::kGrey:
      vips_colourspace(img.p, &out.p, VIPS_INTERPRETATION_B_W, nullptr);
      break;
    case PhotoEdit::kMirror:
      vips_flip(img.p, &out.p, VIPS_DIRECTION_HORIZONTAL, nullptr);
      break;
    case PhotoEdit::kCropCornerTopLeft:
      vips_crop(img.p, &out.p, w / 10, h / 10, w - w / 10, h - h / 10, nullptr);
      break;
    case PhotoEdit::kCrop15:
      vips_crop(img.p, &out.p, w * 3 / 40, h * 3 / 40, w - 2 * (w * 3 / 40), h - 2 * (h * 3 / 40), nullptr);
      break;
    case PhotoEdit::kCrop20:
      vips_crop(img.p, &out.p, w / 10, h / 10, w - 2 * (w / 10), h - 2 * (h / 10), nullptr);
      break;
    case PhotoEdit::kLetterbox: {
      // The canvas grows the shorter way to 16:9 (9:16 for a portrait photo).
      int canvasW = w, canvasH = h;
      const int longer = std::max(w, h), shorter = std::min(w, h);
      int& grow = longer * 9 < shorter * 16 ? (w >= h ? canvasW : canvasH) : (w >= h ? canvasH : canvasW);
      grow = longer * 9 < shorter * 16 ? shorter * 16 / 9 : longer * 9 / 16;
      vips_embed(img.p, &out.p, (canvasW - w) / 2, (canvasH - h) / 2, canvasW, canvasH, "extend", VIPS_EXTEND_BLACK,
                 nullptr);
      break;
    }
    case PhotoEdit::kCaption: {
      const int bar = h * 12 / 100;
      VipsImage* source = captionText();
      if (!source) break;
      // As large as fits in 80% of the width and 70% of the bar.
      const double scale = std::min(w * 0.8 / source->Xsize, bar * 0.7 / source->Ysize);
      VipsRef text, band, rgb;
      if (vips_resize(source, &text.p, scale, nullptr) != 0 ||
          vips_embed(text.p, &band.p, w / 20, bar / 6, w, bar, nullptr) != 0)
        break;
      VipsImage* three[3] = {band.p, band.p, band.p};
      if (vips_bandjoin(three, &rgb.p, 3, nullptr) == 0) vips_insert(img.p, rgb.p, &out.p, 0, h - bar, nullptr);
      break;
    }
    case PhotoEdit::kPad: {
      double white[3] = {255, 255, 255};
      VipsArrayDouble* bg = vips_array_double_new(white, 3);
      vips_embed(img.p, &out.p, w / 10, h / 10, w + w / 5, h + h / 5, "extend", VIPS_EXTEND_BACKGROUND, "background",
                 bg, nullptr);
      vips_area_unref(VIPS_AREA(bg));
      break;
    }
  }
  return jpeg(out.p, 90);
}

}  // namespace testsupport
