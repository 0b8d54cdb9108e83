// A decoded image held in memory (Image), and the ways the module's files
// hand its pixels to and from libvips.
#include "imaging/image.h"

#include <vips/vips.h>

#include <memory>
#include <utility>

#include "imaging/internal.h"

namespace imaging {

Image::Image() = default;
Image::~Image() = default;
Image::Image(Image&&) noexcept = default;
Image& Image::operator=(Image&&) noexcept = default;
Image::Image(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

int Image::width() const { return empty() ? 0 : impl_->image.p->Xsize; }
int Image::height() const { return empty() ? 0 : impl_->image.p->Ysize; }
int Image::bands() const { return empty() ? 0 : impl_->image.p->Bands; }
bool Image::empty() const { return !impl_ || !impl_->image.p; }

namespace detail {

Image imageHolding(VipsRef memory) { return Image(std::make_unique<Image::Impl>(Image::Impl{std::move(memory)})); }

std::optional<Image> imageInMemory(VipsImage* pipeline) {
  VipsRef memory(vips_image_copy_memory(pipeline));
  if (!memory.p) {
    vips_error_clear();
    return std::nullopt;
  }
  return imageHolding(std::move(memory));
}

std::optional<VipsRef> vipsOf(const Image& image) {
  if (image.empty()) return std::nullopt;
  VipsImage* p = image.impl()->image.p;
  g_object_ref(p);
  return VipsRef(p);
}

bool flattenOverBlack(VipsRef& image) {
  if (image.p->Bands != 4) return true;
  return vipsStep(image, [](VipsImage* in, VipsImage** out) { return vips_flatten(in, out, nullptr); });
}

}  // namespace detail

}  // namespace imaging
