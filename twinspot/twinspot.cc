#include "twinspot/twinspot.h"

#include <optional>

#include "imaging/imaging.h"
#include "jsonlines/text.h"

namespace twinspot {

namespace {

constexpr int kHashMaxPixel = 64;
constexpr double kThumbQuality = 0.72;

jsonlines::Record failure(std::int64_t index, const char* code) { return {{"i", index}, {"ok", false}, {"err", code}}; }

}  // namespace

Mode modeFrom(const std::vector<std::string>& args) {
  return !args.empty() && args[0] == "thumb" ? Mode::kThumb : Mode::kHash;
}

int thumbSizeFrom(const std::vector<std::string>& args) {
  for (std::size_t i = 1; i + 1 < args.size(); ++i) {
    if (args[i] != "--size") continue;
    const std::string& v = args[i + 1];
    if (v.empty() || v.size() > 4 || v.find_first_not_of("0123456789") != std::string::npos) break;
    const int n = std::stoi(v);
    if (n >= 1 && n <= kLargestThumb) return n;
    break;
  }
  return kThumbMaxPixel;
}

jsonlines::Record recordFor(Mode mode, std::int64_t index, const std::string& path, int thumbSize) {
  // Everything made for this file lives in this scope and is released
  // before the next file.
  std::optional<imaging::ImageSource> source = imaging::imageSource(path);
  if (!source) return failure(index, "open_failed");
  if (mode == Mode::kThumb) {
    std::optional<imaging::Image> thumb = imaging::makeThumb(*source, thumbSize);
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
  const int thumbSize = thumbSizeFrom(args);
  const std::vector<std::string> paths = jsonlines::zeroSeparatedList(input);
  if (!paths.empty()) imaging::initImaging();
  for (size_t i = 0; i < paths.size(); ++i)
    if (!jsonlines::emit(recordFor(mode, static_cast<std::int64_t>(i), paths[i], thumbSize), out))
      return jsonlines::kExitOutputFailed;
  return 0;
}

}  // namespace twinspot
