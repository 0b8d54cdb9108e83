#include "albumsweep/utf8.h"

namespace albumsweep {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence starting at s[k], or 0 when the bytes
// there are ill-formed; `consumed` is then how many bytes make up the
// maximal ill-formed piece (at least 1).
std::size_t sequenceAt(std::string_view s, std::size_t k, std::size_t& consumed) {
  auto b = [&](std::size_t j) { return static_cast<unsigned char>(s[j]); };
  unsigned char c = b(k);
  consumed = 1;
  if (c < 0x80) return 1;
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;  // no overlong forms
    if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  for (std::size_t j = 1; j < len; ++j) {
    if (k + j >= s.size()) return 0;
    unsigned char d = b(k + j);
    bool ok = (j == 1) ? (d >= lo && d <= hi) : (d >= 0x80 && d <= 0xBF);
    if (!ok) return 0;
    consumed = j + 1;
  }
  return len;
}

}  // namespace

std::string validUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t k = 0;
  while (k < bytes.size()) {
    std::size_t consumed = 0;
    std::size_t len = sequenceAt(bytes, k, consumed);
    if (len > 0) {
      out.append(bytes.substr(k, len));
      k += len;
    } else {
      out.append(kReplacement);
      k += consumed;
    }
  }
  return out;
}

}  // namespace albumsweep
