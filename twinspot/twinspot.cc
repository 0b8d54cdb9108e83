#include "twinspot/twinspot.h"

#include <unistd.h>

#include <cerrno>
#include <optional>

#include "imaging/imaging.h"

namespace twinspot {

namespace {

constexpr int kHashMaxPixel = 64;
constexpr int kThumbMaxPixel = 256;
constexpr double kThumbQuality = 0.72;

jsonlines::Record failure(std::int64_t index, const char* code) { return {{"i", index}, {"ok", false}, {"err", code}}; }

}  // namespace

Mode modeFrom(const std::vector<std::string>& args) {
  return !args.empty() && args[0] == "thumb" ? Mode::kThumb : Mode::kHash;
}

bool isValidUtf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;  // continuation byte, C0/C1 overlong lead, or F5-FF
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

std::vector<std::string> pathsFrom(std::string_view input) {
  std::vector<std::string> paths;
  size_t start = 0;
  while (start <= input.size()) {
    size_t end = input.find('\0', start);
    if (end == std::string_view::npos) end = input.size();
    std::string_view piece = input.substr(start, end - start);
    if (!piece.empty() && isValidUtf8(piece)) paths.emplace_back(piece);
    start = end + 1;
  }
  return paths;
}

jsonlines::Record recordFor(Mode mode, std::int64_t index, const std::string& path) {
  // Everything made for this file lives in this scope and is released
  // before the next file.
  std::optional<imaging::ImageSource> source = imaging::imageSource(path);
  if (!source) return failure(index, "open_failed");
  if (mode == Mode::kThumb) {
    std::optional<imaging::Image> thumb = imaging::makeThumb(*source, kThumbMaxPixel);
    if (!thumb) return failure(index, "decode_failed");
    std::optional<std::string> b64 = imaging::jpegBase64(*thumb, kThumbQuality);
    if (!b64) return failure(index, "encode_failed");
    return {{"i", index}, {"ok", true}, {"b64", std::move(*b64)}};
  }
  std::optional<imaging::Image> thumb = imaging::makeThumb(*source, kHashMaxPixel);
  if (!thumb) return failure(index, "decode_failed");
  std::optional<std::uint64_t> hash = imaging::dhash(*thumb);
  if (!hash) return failure(index, "decode_failed");
  imaging::PixelSize size = imaging::pixelSize(*source);
  return {{"i", index}, {"ok", true}, {"hash", imaging::hashText(*hash)}, {"w", size.width}, {"h", size.height}};
}

int run(const std::vector<std::string>& args, std::string_view input, std::FILE* out) {
  const Mode mode = modeFrom(args);
  const std::vector<std::string> paths = pathsFrom(input);
  if (!paths.empty()) imaging::initImaging();
  for (size_t i = 0; i < paths.size(); ++i)
    jsonlines::emit(recordFor(mode, static_cast<std::int64_t>(i), paths[i]), out);
  return 0;
}

std::string readAll(int fd) {
  std::string data;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}

}  // namespace twinspot
