#include "platform/heif_header.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string_view>

namespace platform::folder {
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

// A bounds-checked big-endian reader over one box's payload.
class Cursor {
 public:
  Cursor(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
  bool ok() const { return ok_; }
  std::size_t left() const { return ok_ ? n_ - at_ : 0; }
  const std::uint8_t* here() const { return p_ + at_; }
  std::uint64_t uint(int bytes) {
    if (bytes < 0 || bytes > 8 || left() < static_cast<std::size_t>(bytes)) {
      ok_ = false;
      return 0;
    }
    std::uint64_t v = 0;
    for (int k = 0; k < bytes; ++k) v = v << 8 | p_[at_++];
    return v;
  }
  std::string_view fourcc() {
    if (left() < 4) {
      ok_ = false;
      return {};
    }
    std::string_view s(reinterpret_cast<const char*>(p_ + at_), 4);
    at_ += 4;
    return s;
  }
  void skip(std::size_t bytes) {
    if (left() < bytes) ok_ = false;
    else at_ += bytes;
  }

 private:
  const std::uint8_t* p_;
  std::size_t n_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

struct Box {
  std::string_view type;
  Cursor body;
};

// The boxes of a payload, in order; false when one does not fit.
template <typename Visit>
bool forEachBox(Cursor c, Visit visit) {
  while (c.left() > 0) {
    std::uint64_t size = c.uint(4);
    std::string_view type = c.fourcc();
    std::uint64_t header = 8;
    if (size == 1) {
      size = c.uint(8);
      header = 16;
    } else if (size == 0) {
      size = header + c.left();
    }
    if (!c.ok() || size < header || size - header > c.left()) return false;
    Box box{type, Cursor(c.here(), static_cast<std::size_t>(size - header))};
    if (!visit(box)) return false;
    c.skip(static_cast<std::size_t>(size - header));
  }
  return c.ok();
}

struct Extent {
  std::uint64_t offset = 0, length = 0;
};
struct Item {
  std::string_view type;
  int construction = 0;
  std::vector<Extent> extents;
  std::vector<std::uint32_t> properties;  // 1-based indexes into ipco
  std::vector<std::uint32_t> describes;   // "cdsc" references
};

struct Meta {
  std::uint32_t primary = 0;
  std::map<std::uint32_t, Item> items;
  std::vector<std::pair<std::string_view, Cursor>> properties;  // ipco, in order
};

bool parseIinf(Cursor c, Meta& m) {
  int version = static_cast<int>(c.uint(1));
  c.skip(3);
  c.skip(version == 0 ? 2 : 4);
  return c.ok() && forEachBox(c, [&](Box& b) {
           if (b.type != "infe") return true;
           int v = static_cast<int>(b.body.uint(1));
           b.body.skip(3);
           if (v < 2) return true;  // old entries carry no item type
           auto id = static_cast<std::uint32_t>(b.body.uint(v == 2 ? 2 : 4));
           b.body.skip(2);
           m.items[id].type = b.body.fourcc();
           return b.body.ok();
         });
}

bool parseIloc(Cursor c, Meta& m) {
  int version = static_cast<int>(c.uint(1));
  c.skip(3);
  int sizes = static_cast<int>(c.uint(1)), sizes2 = static_cast<int>(c.uint(1));
  int offsetSize = sizes >> 4, lengthSize = sizes & 15, baseSize = sizes2 >> 4;
  int indexSize = version >= 1 ? sizes2 & 15 : 0;
  std::uint64_t count = c.uint(version < 2 ? 2 : 4);
  for (std::uint64_t k = 0; k < count && c.ok(); ++k) {
    Item& item = m.items[static_cast<std::uint32_t>(c.uint(version < 2 ? 2 : 4))];
    if (version >= 1) item.construction = static_cast<int>(c.uint(2) & 15);
    c.skip(2);  // data reference index
    std::uint64_t base = c.uint(baseSize);
    std::uint64_t extents = c.uint(2);
    for (std::uint64_t e = 0; e < extents && c.ok(); ++e) {
      c.skip(static_cast<std::size_t>(indexSize));
      Extent x;
      x.offset = base + c.uint(offsetSize);
      x.length = c.uint(lengthSize);
      item.extents.push_back(x);
    }
  }
  return c.ok();
}

bool parseIprp(Cursor c, Meta& m) {
  return forEachBox(c, [&](Box& b) {
    if (b.type == "ipco") {
      return forEachBox(b.body, [&](Box& p) {
        m.properties.emplace_back(p.type, p.body);
        return true;
      });
    }
    if (b.type != "ipma") return true;
    int version = static_cast<int>(b.body.uint(1));
    int flags = static_cast<int>(b.body.uint(3));
    std::uint64_t count = b.body.uint(4);
    for (std::uint64_t k = 0; k < count && b.body.ok(); ++k) {
      Item& item = m.items[static_cast<std::uint32_t>(b.body.uint(version < 1 ? 2 : 4))];
      std::uint64_t n = b.body.uint(1);
      for (std::uint64_t a = 0; a < n && b.body.ok(); ++a)
        item.properties.push_back(static_cast<std::uint32_t>(flags & 1 ? b.body.uint(2) & 0x7FFF : b.body.uint(1) & 0x7F));
    }
    return b.body.ok();
  });
}

bool parseIref(Cursor c, Meta& m) {
  int version = static_cast<int>(c.uint(1));
  c.skip(3);
  int idSize = version == 0 ? 2 : 4;
  return c.ok() && forEachBox(c, [&](Box& b) {
           auto from = static_cast<std::uint32_t>(b.body.uint(idSize));
           std::uint64_t n = b.body.uint(2);
           for (std::uint64_t k = 0; k < n && b.body.ok(); ++k) {
             auto to = static_cast<std::uint32_t>(b.body.uint(idSize));
             if (b.type == "cdsc") m.items[from].describes.push_back(to);
           }
           return b.body.ok();
         });
}

bool isHeifBrand(std::string_view brand) {
  for (std::string_view b : {"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm", "hevs", "mif1", "msf1"})
    if (brand == b) return true;
  return false;
}

}  // namespace

std::optional<HeifHeader> readHeifHeader(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size < 16) return std::nullopt;
  const auto fileSize = static_cast<std::uint64_t>(st.st_size);
  // Top-level boxes: ftyp first, then find meta by box headers alone.
  std::optional<std::vector<std::uint8_t>> meta;
  for (std::uint64_t offset = 0, boxes = 0; offset + 8 <= fileSize && boxes < 64; ++boxes) {
    auto head = readAt(fd, offset, std::min<std::uint64_t>(16, fileSize - offset));
    if (!head) return std::nullopt;
    Cursor c(head->data(), head->size());
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
  if (!meta || meta->size() < 4) return std::nullopt;

  Meta m;
  Cursor body(meta->data() + 4, meta->size() - 4);  // after the full box's version and flags
  bool parsed = forEachBox(body, [&](Box& b) {
    if (b.type == "pitm") {
      int version = static_cast<int>(b.body.uint(1));
      b.body.skip(3);
      m.primary = static_cast<std::uint32_t>(b.body.uint(version == 0 ? 2 : 4));
      return b.body.ok();
    }
    if (b.type == "iinf") return parseIinf(b.body, m);
    if (b.type == "iloc") return parseIloc(b.body, m);
    if (b.type == "iprp") return parseIprp(b.body, m);
    if (b.type == "iref") return parseIref(b.body, m);
    return true;
  });
  if (!parsed || m.items.count(m.primary) == 0) return std::nullopt;

  // Every item's data must lie inside the file, as the decoder will want it.
  for (const auto& [id, item] : m.items)
    for (const Extent& x : item.extents)
      if (item.construction == 0 && (x.offset > fileSize || x.length > fileSize - x.offset)) return std::nullopt;

  HeifHeader out;
  const Item& primary = m.items[m.primary];
  bool haveSize = false;
  int turns = 0;
  for (std::uint32_t index : primary.properties) {
    if (index == 0 || index > m.properties.size()) continue;
    auto [type, c] = m.properties[index - 1];
    if (type == "ispe") {
      c.skip(4);
      out.width = static_cast<std::int64_t>(c.uint(4));
      out.height = static_cast<std::int64_t>(c.uint(4));
      haveSize = c.ok();
    } else if (type == "irot") {
      turns = static_cast<int>(c.uint(1) & 3);
    } else if (type == "clap") {
      return std::nullopt;  // a cropped size: left to libheif
    }
  }
  if (!haveSize || out.width <= 0 || out.height <= 0) return std::nullopt;
  if (turns % 2 == 1) std::swap(out.width, out.height);

  // The EXIF item that describes the primary image.
  for (const auto& [id, item] : m.items) {
    if (item.type != "Exif") continue;
    bool describesPrimary = false;
    for (std::uint32_t to : item.describes) describesPrimary = describesPrimary || to == m.primary;
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
    std::uint64_t tiff = 4 + (std::uint64_t{data[0]} << 24 | std::uint64_t{data[1]} << 16 |
                              std::uint64_t{data[2]} << 8 | data[3]);
    if (tiff + 8 > data.size()) return std::nullopt;
    out.exif.assign(data.begin() + static_cast<std::ptrdiff_t>(tiff), data.end());
    break;
  }
  return out;
}

}  // namespace platform::folder
