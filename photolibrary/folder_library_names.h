// Names in the folder photo library: which files are media, how files group
// into assets, and how a file's path becomes a local identifier and back.
// Pure functions on byte strings; nothing here touches the file system.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace photolibrary::folder {

// What a file is, judged by its extension (case-insensitive, ASCII).
enum class FileKind { kOther, kImage, kRawImage, kVideo };
FileKind fileKindOf(std::string_view name);

// The name without its last extension, ASCII letters lowered: the key that
// groups "IMG_1.HEIC" with "img_1.mov". Case folding is ASCII only, since
// names are bytes in no particular encoding.
std::string stemKey(std::string_view name);

// One asset made from the media files of one folder.
struct FileGroup {
  std::string primary;  // the file that names the asset and holds its data
  FileKind primaryKind = FileKind::kImage;
  bool livePhoto = false;
  // Resource types and file names, primary first.
  std::vector<std::pair<int, std::string>> resources;
};

// Groups the media files of one folder (names with their kinds; files of
// kind kOther are left out) into assets, by stem:
// - a stem's only non-raw image and its only video, and no raw: a Live
//   Photo, resources [photo, paired video];
// - a stem's only non-raw image and its only raw, and no video: resources
//   [photo, alternate photo (the raw)];
// - every other file is an asset of its own: two non-raw images with one
//   stem (a.jpg, a.png) are two assets, and so is a raw with a video but no
//   non-raw image; an image with a raw and a video is three assets (two
//   photos and a video), and an image with two videos or two raws stands
//   alone beside them.
// The result is ordered by primary file name.
std::vector<FileGroup> groupFolder(const std::vector<std::pair<std::string, FileKind>>& files);

// Resource type of a video asset's file.
inline constexpr int kResourceVideo = 2;

// True when the name begins with "." (a hidden entry).
bool isHiddenName(std::string_view name);

// The local identifier of a path relative to the library root ("a/b.jpg"):
// valid UTF-8 is kept as it is; "%" and every byte that is not part of a
// valid UTF-8 sequence become "%XX" (upper-case hex). The result is always
// valid UTF-8 and names exactly one path.
std::string identifierFromPath(std::string_view relativePath);

// The relative path an identifier names, split into its components, or
// nothing when the identifier is not one that identifierFromPath makes for
// a path inside the root: absolute, empty, with empty, "." or ".."
// components, with a NUL byte, with a malformed or needless escape (so
// that exactly one identifier names each path).
std::optional<std::vector<std::string>> pathFromIdentifier(std::string_view identifier);

// The name for display and for records: bytes that are not valid UTF-8 are
// shown as U+FFFD, one replacement per maximal ill-formed piece.
std::string displayName(std::string_view name);

}  // namespace photolibrary::folder
