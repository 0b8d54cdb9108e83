#include "photolibrary/folder_library_names.h"

#include "jsonlines/text.h"
#include "photolibrary/photo_library.h"

#include <algorithm>
#include <map>
#include <span>
#include <cstdint>

namespace photolibrary::folder {
namespace {

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = lowerAscii(c);
  return out;
}

constexpr std::string_view kImageExtensions[] = {"jpg",  "jpeg", "jpe",  "jfif", "png",
                                                  "gif",  "webp", "tif",  "tiff", "heic",
                                                  "heif", "hif",  "avif", "bmp"};
constexpr std::string_view kRawExtensions[] = {"dng", "cr2", "cr3", "nef", "nrw", "arw",
                                                "srf", "sr2", "orf", "rw2", "raf", "pef",
                                                "srw", "x3f", "3fr", "iiq", "rwl"};
constexpr std::string_view kVideoExtensions[] = {"mov", "mp4",  "m4v", "3gp", "avi",  "mkv",
                                                  "webm", "mts", "m2ts", "mpg", "mpeg", "wmv"};

bool contains(std::span<const std::string_view> list, std::string_view ext) {
  for (std::string_view e : list)
    if (e == ext) return true;
  return false;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower-case hex is never written, so never accepted
}

}  // namespace

FileKind fileKindOf(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return FileKind::kOther;  // ".jpg" alone has no stem
  std::string ext = lowered(name.substr(dot + 1));
  if (contains(kImageExtensions, ext)) return FileKind::kImage;
  if (contains(kRawExtensions, ext)) return FileKind::kRawImage;
  if (contains(kVideoExtensions, ext)) return FileKind::kVideo;
  return FileKind::kOther;
}

std::string stemKey(std::string_view name) {
  std::size_t dot = name.rfind('.');
  return lowered(dot == std::string_view::npos ? name : name.substr(0, dot));
}

std::vector<FileGroup> groupFolder(const std::vector<std::pair<std::string, FileKind>>& files) {
  struct Stem {
    std::vector<const std::string*> images, raws, videos;
  };
  std::map<std::string, Stem> stems;
  for (const auto& [name, kind] : files) {
    Stem& s = stems[stemKey(name)];
    if (kind == FileKind::kImage) s.images.push_back(&name);
    if (kind == FileKind::kRawImage) s.raws.push_back(&name);
    if (kind == FileKind::kVideo) s.videos.push_back(&name);
  }
  std::vector<FileGroup> groups;
  auto alone = [&](const std::string& name, FileKind kind) {
    int type = kind == FileKind::kVideo ? kResourceVideo : kResourcePhoto;
    groups.push_back(FileGroup{name, kind, false, {{type, name}}});
  };
  for (auto& [key, s] : stems) {
    const bool one = s.images.size() == 1;
    // One image with exactly one companion, a raw file or a video; any
    // other mix (an image, a raw and a video, say) is one asset per file.
    const bool pairRaw = one && s.raws.size() == 1 && s.videos.empty();
    const bool pairVideo = one && s.videos.size() == 1 && s.raws.empty();
    if (one) {
      FileGroup g{*s.images[0], FileKind::kImage, pairVideo, {{kResourcePhoto, *s.images[0]}}};
      if (pairRaw) g.resources.emplace_back(kResourceAlternatePhoto, *s.raws[0]);
      if (pairVideo) g.resources.emplace_back(kResourcePairedVideo, *s.videos[0]);
      groups.push_back(std::move(g));
    } else {
      for (const std::string* n : s.images) alone(*n, FileKind::kImage);
    }
    if (!pairRaw)
      for (const std::string* n : s.raws) alone(*n, FileKind::kRawImage);
    if (!pairVideo)
      for (const std::string* n : s.videos) alone(*n, FileKind::kVideo);
  }
  std::sort(groups.begin(), groups.end(),
            [](const FileGroup& a, const FileGroup& b) { return a.primary < b.primary; });
  return groups;
}

bool isHiddenName(std::string_view name) { return !name.empty() && name.front() == '.'; }

std::string identifierFromPath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t len = jsonlines::utf8SequenceLength(path, i);
    if (len == 0 || path[i] == '%') {
      auto b = static_cast<unsigned char>(path[i]);
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
      ++i;
    } else {
      out.append(path.substr(i, len));
      i += len;
    }
  }
  return out;
}

std::optional<std::vector<std::string>> pathFromIdentifier(std::string_view id) {
  std::string bytes;
  bytes.reserve(id.size());
  for (std::size_t i = 0; i < id.size(); ++i) {
    if (id[i] != '%') {
      bytes += id[i];
      continue;
    }
    if (i + 2 >= id.size()) return std::nullopt;
    int hi = hexValue(id[i + 1]), lo = hexValue(id[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  // Only the one spelling identifierFromPath gives is accepted: this turns
  // away needless escapes ("%41"), escaped separators ("%2F") and escaped
  // pieces of valid UTF-8, so no two identifiers name the same file.
  if (identifierFromPath(bytes) != id) return std::nullopt;
  if (bytes.find('\0') != std::string::npos) return std::nullopt;

  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t slash = bytes.find('/', start);
    std::string part = bytes.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part.empty() || part == "." || part == "..") return std::nullopt;
    parts.push_back(std::move(part));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

std::string displayName(std::string_view name) { return jsonlines::validUtf8(name); }

}  // namespace photolibrary::folder
