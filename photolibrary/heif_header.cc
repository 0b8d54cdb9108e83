#include "photolibrary/heif_header.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "imaging/heif_meta.h"

namespace photolibrary::folder {
namespace {

constexpr std::uint64_t kMaxMetaBytes = 4u << 20;  // far above any camera's
constexpr std::uint64_t kMaxExifBytes = 1u << 20;

std::optional<std::vector<std::uint8_t>> readAt(int fd, std::uint64_t offset, std::uint64_t length) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(length));
  std::size_t got = 0;
  while (got < out.size()) {
    ssize_t n = ::pread(fd, out.data() + got, out.size() - got, static_cast<off_t>(offset + got));
    if (n <= 0) return std::nullopt;
    got += static_cast<std::size_t>(n);
  }
  return out;
}

using imaging::heif::Box;
using imaging::heif::ByteReader;
using imaging::heif::Extent;
using imaging::heif::Item;

bool isHeifBrand(std::string_view brand) {
  for (std::string_view b : {"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm", "hevs", "mif1", "msf1"})
    if (brand == b) return true;
  return false;
}

// The payload of the file's top-level meta box, found by box headers alone
// behind an ftyp box of a HEIF brand; nothing when there is none, the boxes
// do not fit the file, or it is larger than kMaxMetaBytes.
std::optional<std::vector<std::uint8_t>> readMetaBox(int fd, std::uint64_t fileSize) {
  std::optional<std::vector<std::uint8_t>> meta;
  for (std::uint64_t offset = 0, boxes = 0; offset + 8 <= fileSize && boxes < 64; ++boxes) {
    auto head = readAt(fd, offset, std::min<std::uint64_t>(16, fileSize - offset));
    if (!head) return std::nullopt;
    ByteReader c(*head);
    std::uint64_t size = c.uint(4), header = 8;
    std::string_view type = c.fourcc();
    if (size == 1) {
      size = c.uint(8);
      header = 16;
    } else if (size == 0) {
      size = fileSize - offset;
    }
    if (!c.ok() || size < header || size > fileSize - offset) return std::nullopt;
    if (boxes == 0 && (type != "ftyp" || head->size() < 12 ||
                       !isHeifBrand(std::string_view(reinterpret_cast<const char*>(head->data() + 8), 4))))
      return std::nullopt;
    if (type == "meta") {
      if (size - header > kMaxMetaBytes) return std::nullopt;
      meta = readAt(fd, offset + header, size - header);
      break;
    }
    offset += size;
  }
  return meta;
}

// The primary image's size as displayed (ispe turned by irot) into `out`;
// false when it has none or is cropped (clap, left to libheif).
bool readPrimarySize(imaging::heif::Meta& m, HeifHeader& out) {
  const Item& primary = m.items[m.primary];
  bool haveSize = false;
  int turns = 0;
  for (auto [essential, index] : primary.properties) {
    if (index == 0 || index > m.properties.size()) continue;
    const std::string_view type = m.properties[index - 1].type;
    ByteReader c(m.properties[index - 1].payload);
    if (type == "ispe") {
      c.skip(4);
      out.width = static_cast<std::int64_t>(c.uint(4));
      out.height = static_cast<std::int64_t>(c.uint(4));
      haveSize = c.ok();
    } else if (type == "irot") {
      turns = static_cast<int>(c.uint(1) & 3);
    } else if (type == "clap") {
      return false;
    }
  }
  if (!haveSize || out.width <= 0 || out.height <= 0) return false;
  if (turns % 2 == 1) std::swap(out.width, out.height);
  return true;
}

// The EXIF block of the item that describes the primary image, from its
// TIFF header on; empty when no item does; nothing when the block is not
// whole in the file or larger than kMaxExifBytes.
std::optional<std::vector<std::uint8_t>> readPrimaryExif(int fd, const imaging::heif::Meta& m) {
  for (const auto& [id, item] : m.items) {
    if (item.type != "Exif") continue;
    bool describesPrimary = false;
    for (const auto& [refType, to] : item.references)
      for (std::uint32_t id : to) describesPrimary = describesPrimary || (refType == "cdsc" && id == m.primary);
    if (!describesPrimary) continue;
    if (item.construction != 0) return std::nullopt;
    std::vector<std::uint8_t> data;
    for (const Extent& x : item.extents) {
      if (data.size() + x.length > kMaxExifBytes) return std::nullopt;
      auto part = readAt(fd, x.offset, x.length);
      if (!part) return std::nullopt;
      data.insert(data.end(), part->begin(), part->end());
    }
    if (data.size() < 4) return std::nullopt;
    std::uint64_t tiff =
        4 + (std::uint64_t{data[0]} << 24 | std::uint64_t{data[1]} << 16 | std::uint64_t{data[2]} << 8 | data[3]);
    if (tiff + 8 > data.size()) return std::nullopt;
    return std::vector<std::uint8_t>(data.begin() + static_cast<std::ptrdiff_t>(tiff), data.end());
  }
  return std::vector<std::uint8_t>{};
}

}  // namespace

std::optional<HeifHeader> readHeifHeader(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size < 16) return std::nullopt;
  const auto fileSize = static_cast<std::uint64_t>(st.st_size);
  std::optional<std::vector<std::uint8_t>> meta = readMetaBox(fd, fileSize);
  if (!meta || meta->size() < 4) return std::nullopt;

  std::optional<imaging::heif::Meta> parsed = imaging::heif::readMeta(*meta);
  if (!parsed || parsed->items.count(parsed->primary) == 0) return std::nullopt;
  imaging::heif::Meta& m = *parsed;

  // Every item's data must lie inside the file, as the decoder will want it.
  for (const auto& [id, item] : m.items)
    for (const Extent& x : item.extents)
      if (item.construction == 0 && (x.offset > fileSize || x.length > fileSize - x.offset)) return std::nullopt;

  HeifHeader out;
  if (!readPrimarySize(m, out)) return std::nullopt;
  std::optional<std::vector<std::uint8_t>> exif = readPrimaryExif(fd, m);
  if (!exif) return std::nullopt;
  out.exif = std::move(*exif);
  return out;
}

}  // namespace photolibrary::folder
