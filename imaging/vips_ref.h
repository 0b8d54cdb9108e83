// Small helpers for code that calls the libvips C API directly: an owner of
// one VipsImage reference, and a way to chain operations on it.
#pragma once

#include <vips/vips.h>

#include <utility>

namespace imaging {

// Owns one reference to a VipsImage (released with g_object_unref).
class VipsRef {
 public:
  VipsRef() = default;
  explicit VipsRef(VipsImage* image) : p(image) {}
  VipsRef(VipsRef&& o) noexcept : p(std::exchange(o.p, nullptr)) {}
  VipsRef& operator=(VipsRef&& o) noexcept {
    std::swap(p, o.p);
    return *this;
  }
  VipsRef(const VipsRef&) = delete;
  VipsRef& operator=(const VipsRef&) = delete;
  ~VipsRef() {
    if (p) g_object_unref(p);
  }
  VipsImage* release() { return std::exchange(p, nullptr); }

  VipsImage* p = nullptr;
};

// Runs one libvips operation `fn(in, &out)` (0 on success) on `image` and
// replaces it with the result. On failure `image` is kept and libvips'
// process-wide error buffer is cleared, so that it does not grow.
template <typename Operation>
bool vipsStep(VipsRef& image, Operation fn) {
  VipsImage* out = nullptr;
  if (fn(image.p, &out) != 0) {
    vips_error_clear();
    return false;
  }
  image = VipsRef(out);
  return true;
}

}  // namespace imaging
