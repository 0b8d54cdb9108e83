// The item tables of a HEIF file's `meta` box (items, where their data lie,
// their properties and references), read from bytes in memory with every
// length checked. Shared by the grid decoder (imaging) and the folder
// library's header reader (photolibrary/), which each take what they need.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace imaging::heif {

using Bytes = std::span<const std::uint8_t>;

// Big-endian reads over a span that refuse to run past its end; once a read
// fails, ok() stays false and every later read gives 0.
class ByteReader {
 public:
  explicit ByteReader(Bytes b) : b_(b) {}
  bool ok() const { return ok_; }
  std::size_t left() const { return ok_ ? b_.size() - at_ : 0; }
  Bytes rest() const { return ok_ ? b_.subspan(at_) : Bytes{}; }
  std::uint64_t uint(int bytes);  // 0 to 8 bytes
  std::string_view fourcc();
  void skip(std::size_t n);

 private:
  Bytes b_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

struct Box {
  std::string_view type;
  Bytes whole;    // header included
  Bytes payload;  // after the header
};

// The boxes one after the other in `b`; nothing when any does not fit.
std::optional<std::vector<Box>> boxesIn(Bytes b);

struct Extent {
  std::uint64_t offset = 0;  // base offset included
  std::uint64_t length = 0;
};

struct Item {
  std::string_view type;  // empty for entries that carry none
  bool isProtected = false;
  int construction = 0;    // 0: in the file, 1: in idat, 2: in another item
  bool elsewhere = false;  // data in another file (a data reference)
  std::vector<Extent> extents;
  std::vector<std::pair<bool, std::uint32_t>> properties;  // essential, 1-based index into Meta::properties (0: none)
  std::vector<std::pair<std::string_view, std::vector<std::uint32_t>>> references;  // by type, in file order
};

struct Meta {
  std::uint32_t primary = 0;
  std::map<std::uint32_t, Item> items;
  std::vector<Box> properties;  // ipco, in order
  Bytes idat;
};

// The tables of a `meta` box, given its payload (version and flags first);
// nothing when any box in it is malformed.
std::optional<Meta> readMeta(Bytes metaPayload);

}  // namespace imaging::heif
