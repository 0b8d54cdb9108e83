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
  if (args.empty()) return Mode::kHash;
  if (args[0] == "thumb") return Mode::kThumb;
  if (args[0] == "hashthumb") return Mode::kHashThumb;
  return Mode::kHash;
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
  const bool hashing = mode != Mode::kThumb, previewing = mode != Mode::kHash;
  // hashthumb hashes the 256-pixel thumbnail, the one albumsweep's scan
  // hashes, so that a JPEG is decoded once (hash mode decodes it at the
  // coarser scale a 64-pixel thumbnail allows); a preview of another size
  // is made beside it.
  std::optional<imaging::Image> small, preview;
  const bool hashPreview = hashing && previewing && thumbSize == kThumbMaxPixel;
  if (hashPreview) {
    preview = imaging::makeThumb(*source, thumbSize);
  } else if (hashing && previewing) {
    const int sizes[] = {kThumbMaxPixel, thumbSize};
    std::vector<std::optional<imaging::Image>> thumbs = imaging::makeThumbs(*source, sizes);
    small = std::move(thumbs[0]);
    preview = std::move(thumbs[1]);
  } else if (hashing) {
    small = imaging::makeThumb(*source, kHashMaxPixel);
  } else {
    preview = imaging::makeThumb(*source, thumbSize);
  }
  jsonlines::Record record{{"i", index}, {"ok", true}};
  if (hashing) {
    const std::optional<imaging::Image>& hashed = hashPreview ? preview : small;
    if (!hashed) return failure(index, "decode_failed");
    std::optional<std::uint64_t> hash = imaging::dhash(*hashed);
    if (!hash) return failure(index, "decode_failed");
    imaging::PixelSize size = imaging::pixelSize(*source);
    record["hash"] = imaging::hashText(*hash);
    record["w"] = size.width;
    record["h"] = size.height;
  }
  if (previewing) {
    if (!preview) return failure(index, "decode_failed");
    std::optional<std::string> b64 = imaging::jpegBase64(*preview, kThumbQuality);
    if (!b64) return failure(index, "encode_failed");
    record["b64"] = std::move(*b64);
  }
  return record;
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
