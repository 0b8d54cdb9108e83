#include "imaging/heif_meta.h"

namespace imaging::heif {

std::uint64_t ByteReader::uint(int bytes) {
  if (bytes < 0 || bytes > 8 || left() < static_cast<std::size_t>(bytes)) {
    ok_ = false;
    return 0;
  }
  std::uint64_t v = 0;
  for (int k = 0; k < bytes; ++k) v = (v << 8) | b_[at_++];
  return v;
}

std::string_view ByteReader::fourcc() {
  if (left() < 4) {
    ok_ = false;
    return {};
  }
  std::string_view s(reinterpret_cast<const char*>(b_.data() + at_), 4);
  at_ += 4;
  return s;
}

void ByteReader::skip(std::size_t n) {
  if (left() < n)
    ok_ = false;
  else
    at_ += n;
}

std::optional<std::vector<Box>> boxesIn(Bytes b) {
  std::vector<Box> boxes;
  std::size_t at = 0;
  while (at < b.size()) {
    ByteReader r(b.subspan(at));
    std::uint64_t size = r.uint(4);
    std::string_view type = r.fourcc();
    std::size_t header = 8;
    if (size == 1) {
      size = r.uint(8);
      header = 16;
    } else if (size == 0) {
      size = b.size() - at;
    }
    if (!r.ok() || size < header || size > b.size() - at) return std::nullopt;
    Bytes whole = b.subspan(at, static_cast<std::size_t>(size));
    boxes.push_back({type, whole, whole.subspan(header)});
    at += static_cast<std::size_t>(size);
  }
  return boxes;
}

namespace {

bool readItemTypes(Bytes iinf, Meta& m) {
  ByteReader r(iinf);
  const int version = static_cast<int>(r.uint(1));
  r.skip(3);
  r.uint(version == 0 ? 2 : 4);  // entry count: the boxes themselves say it
  std::optional<std::vector<Box>> entries = r.ok() ? boxesIn(r.rest()) : std::nullopt;
  if (!entries) return false;
  for (const Box& e : *entries) {
    if (e.type != "infe") continue;
    ByteReader f(e.payload);
    const int v = static_cast<int>(f.uint(1));
    f.skip(3);
    if (v < 2) continue;  // old entries carry no item type
    Item& item = m.items[static_cast<std::uint32_t>(f.uint(v == 2 ? 2 : 4))];
    item.isProtected = f.uint(2) != 0;
    item.type = f.fourcc();
    if (!f.ok()) return false;
  }
  return true;
}

bool readLocations(Bytes iloc, Meta& m) {
  ByteReader r(iloc);
  const int version = static_cast<int>(r.uint(1));
  r.skip(3);
  const int sizes = static_cast<int>(r.uint(1)), sizes2 = static_cast<int>(r.uint(1));
  const int offsetSize = sizes >> 4, lengthSize = sizes & 15, baseSize = sizes2 >> 4;
  const int indexSize = version >= 1 ? sizes2 & 15 : 0;
  const std::uint64_t count = r.uint(version < 2 ? 2 : 4);
  for (std::uint64_t k = 0; k < count && r.ok(); ++k) {
    Item& item = m.items[static_cast<std::uint32_t>(r.uint(version < 2 ? 2 : 4))];
    item.construction = version >= 1 ? static_cast<int>(r.uint(2) & 15) : 0;
    item.elsewhere = r.uint(2) != 0;
    const std::uint64_t base = r.uint(baseSize);
    const std::uint64_t extents = r.uint(2);
    item.extents.clear();
    for (std::uint64_t e = 0; e < extents && r.ok(); ++e) {
      r.uint(indexSize);
      Extent x;
      x.offset = r.uint(offsetSize);
      x.length = r.uint(lengthSize);
      if (x.offset > UINT64_MAX - base) return false;
      x.offset += base;
      item.extents.push_back(x);
    }
  }
  return r.ok();
}

bool readProperties(Bytes iprp, Meta& m) {
  std::optional<std::vector<Box>> boxes = boxesIn(iprp);
  if (!boxes) return false;
  for (const Box& b : *boxes) {
    if (b.type == "ipco") {
      std::optional<std::vector<Box>> properties = boxesIn(b.payload);
      if (!properties) return false;
      m.properties.insert(m.properties.end(), properties->begin(), properties->end());
      continue;
    }
    if (b.type != "ipma") continue;
    ByteReader r(b.payload);
    const int version = static_cast<int>(r.uint(1));
    const std::uint64_t flags = r.uint(3);
    const std::uint64_t count = r.uint(4);
    for (std::uint64_t k = 0; k < count && r.ok(); ++k) {
      Item& item = m.items[static_cast<std::uint32_t>(r.uint(version < 1 ? 2 : 4))];
      const std::uint64_t n = r.uint(1);
      const int bits = flags & 1 ? 15 : 7;
      for (std::uint64_t a = 0; a < n && r.ok(); ++a) {
        const std::uint64_t v = r.uint(flags & 1 ? 2 : 1);
        item.properties.emplace_back((v >> bits) != 0, static_cast<std::uint32_t>(v & ((1u << bits) - 1)));
      }
    }
    if (!r.ok()) return false;
  }
  return true;
}

bool readReferences(Bytes iref, Meta& m) {
  ByteReader r(iref);
  const int version = static_cast<int>(r.uint(1));
  r.skip(3);
  std::optional<std::vector<Box>> refs = r.ok() ? boxesIn(r.rest()) : std::nullopt;
  if (!refs) return false;
  const int idSize = version == 0 ? 2 : 4;
  for (const Box& ref : *refs) {
    ByteReader f(ref.payload);
    Item& from = m.items[static_cast<std::uint32_t>(f.uint(idSize))];
    const std::uint64_t n = f.uint(2);
    std::vector<std::uint32_t> to;
    for (std::uint64_t k = 0; k < n && f.ok(); ++k) to.push_back(static_cast<std::uint32_t>(f.uint(idSize)));
    if (!f.ok()) return false;
    from.references.emplace_back(ref.type, std::move(to));
  }
  return true;
}

}  // namespace

std::optional<Meta> readMeta(Bytes metaPayload) {
  if (metaPayload.size() < 4) return std::nullopt;
  std::optional<std::vector<Box>> boxes = boxesIn(metaPayload.subspan(4));  // after version and flags
  if (!boxes) return std::nullopt;
  Meta m;
  for (const Box& b : *boxes) {
    bool ok = true;
    if (b.type == "pitm") {
      ByteReader r(b.payload);
      const int version = static_cast<int>(r.uint(1));
      r.skip(3);
      m.primary = static_cast<std::uint32_t>(r.uint(version == 0 ? 2 : 4));
      ok = r.ok();
    } else if (b.type == "iinf") {
      ok = readItemTypes(b.payload, m);
    } else if (b.type == "iloc") {
      ok = readLocations(b.payload, m);
    } else if (b.type == "iprp") {
      ok = readProperties(b.payload, m);
    } else if (b.type == "iref") {
      ok = readReferences(b.payload, m);
    } else if (b.type == "idat") {
      m.idat = b.payload;
    }
    if (!ok) return std::nullopt;
  }
  return m;
}

}  // namespace imaging::heif
