#include "imaging/heif_grid.h"

#include <libheif/heif.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <string_view>

#include "imaging/heif_meta.h"
#include "imaging/image.h"
#include "imaging/parallel.h"

namespace imaging::detail {

namespace {

using heif::Box;
using heif::ByteReader;
using heif::Bytes;
using heif::Item;

// The item's data as spans of the file or of the idat box; nothing when out
// of bounds or stored in a way not read here.
std::optional<std::vector<Bytes>> dataOf(const Item& item, Bytes file, Bytes idat) {
  if (item.elsewhere || (item.construction != 0 && item.construction != 1)) return std::nullopt;
  const Bytes source = item.construction == 0 ? file : idat;
  std::vector<Bytes> spans;
  for (auto [offset, length] : item.extents) {
    // A length of 0 ("to the end") is legal but unusual: left to libheif.
    if (length == 0 || offset > source.size() || length > source.size() - offset) return std::nullopt;
    spans.push_back(source.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length)));
  }
  if (spans.empty()) return std::nullopt;
  return spans;
}

std::vector<std::uint8_t> joined(const std::vector<Bytes>& spans) {
  std::vector<std::uint8_t> out;
  for (Bytes s : spans) out.insert(out.end(), s.begin(), s.end());
  return out;
}

bool sameBoxes(const std::vector<Bytes>& a, const std::vector<Bytes>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](Bytes x, Bytes y) { return std::equal(x.begin(), x.end(), y.begin(), y.end()); });
}

// ---- one tile as a file of its own ----

class Writer {
 public:
  void u8(std::uint32_t v) { out.push_back(static_cast<std::uint8_t>(v)); }
  void u16(std::uint32_t v) {
    u8(v >> 8);
    u8(v);
  }
  void u32(std::uint32_t v) {
    u16(v >> 16);
    u16(v);
  }
  void text(std::string_view s) { out.insert(out.end(), s.begin(), s.end()); }
  void bytes(Bytes b) { out.insert(out.end(), b.begin(), b.end()); }
  // Opens a box (a full box with version 0 and no flags when `full`).
  std::size_t open(std::string_view type, bool full) {
    std::size_t at = out.size();
    u32(0);
    text(type);
    if (full) u32(0);
    return at;
  }
  void close(std::size_t at) {
    const auto size = static_cast<std::uint32_t>(out.size() - at);
    for (int k = 0; k < 4; ++k) out[at + k] = static_cast<std::uint8_t>(size >> (24 - 8 * k));
  }
  std::vector<std::uint8_t> out;
};

// A HEIF file whose primary (and only) item is the tile.
std::vector<std::uint8_t> tileFile(const HeifTile& tile) {
  std::size_t dataSize = 0;
  for (Bytes e : tile.extents) dataSize += e.size();
  Writer w;
  std::size_t box = w.open("ftyp", false);
  w.text("heic");
  w.u32(0);
  w.text("mif1");
  w.text("heic");
  w.close(box);
  std::size_t meta = w.open("meta", true);
  box = w.open("hdlr", true);
  w.u32(0);
  w.text("pict");
  for (int k = 0; k < 3; ++k) w.u32(0);
  w.u8(0);
  w.close(box);
  box = w.open("pitm", true);
  w.u16(1);
  w.close(box);
  box = w.open("iinf", true);
  w.u16(1);
  std::size_t infe = w.open("infe", false);
  w.u32(2u << 24);  // version 2
  w.u16(1);
  w.u16(0);
  w.text("hvc1");
  w.u8(0);
  w.close(infe);
  w.close(box);
  std::size_t iloc = w.open("iloc", true);
  w.u8(0x44);  // 4-byte offsets and lengths, no base offset
  w.u8(0);
  w.u16(1);
  w.u16(1);  // item 1
  w.u16(0);  // this file
  w.u16(1);  // one extent
  const std::size_t offsetAt = w.out.size();
  w.u32(0);  // patched below
  w.u32(static_cast<std::uint32_t>(dataSize));
  w.close(iloc);
  std::size_t iprp = w.open("iprp", false);
  box = w.open("ipco", false);
  for (Bytes p : tile.properties) w.bytes(p);
  w.close(box);
  box = w.open("ipma", true);
  w.u32(1);
  w.u16(1);
  w.u8(static_cast<std::uint32_t>(tile.properties.size()));
  for (std::size_t k = 0; k < tile.properties.size(); ++k) w.u8(0x80 | static_cast<std::uint32_t>(k + 1));
  w.close(box);
  w.close(iprp);
  w.close(meta);
  box = w.open("mdat", false);
  const auto dataAt = static_cast<std::uint32_t>(w.out.size());
  for (Bytes e : tile.extents) w.bytes(e);
  w.close(box);
  for (int k = 0; k < 4; ++k) w.out[offsetAt + k] = static_cast<std::uint8_t>(dataAt >> (24 - 8 * k));
  return std::move(w.out);
}

// Decodes one tile to RGB and copies what of it lies inside the picture to
// its place, turned by `grid.quarterTurns`.
bool decodeTile(const HeifGrid& grid, std::size_t index, RgbBuffer& out) {
  const std::vector<std::uint8_t> file = tileFile(grid.tiles[index]);
  heif_context* ctx = heif_context_alloc();
  if (!ctx) return false;
  heif_context_set_max_decoding_threads(ctx, 0);  // this thread decodes
  heif_image_handle* handle = nullptr;
  heif_image* image = nullptr;
  bool ok = heif_context_read_from_memory_without_copy(ctx, file.data(), file.size(), nullptr).code == heif_error_Ok &&
            heif_context_get_primary_image_handle(ctx, &handle).code == heif_error_Ok &&
            heif_image_handle_get_luma_bits_per_pixel(handle) == 8 &&
            heif_image_handle_get_chroma_bits_per_pixel(handle) == 8 &&
            heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code ==
                heif_error_Ok;
  int stride = 0;
  const std::uint8_t* plane = ok ? heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride) : nullptr;
  ok = plane && heif_image_get_width(image, heif_channel_interleaved) == grid.tileWidth &&
       heif_image_get_height(image, heif_channel_interleaved) == grid.tileHeight && stride >= 3 * grid.tileWidth;
  if (ok) {
    const int x0 = static_cast<int>(index % grid.columns) * grid.tileWidth;
    const int y0 = static_cast<int>(index / grid.columns) * grid.tileHeight;
    const int w = std::min(grid.tileWidth, grid.width - x0);
    const int h = std::min(grid.tileHeight, grid.height - y0);
    const std::size_t outStride = 3 * static_cast<std::size_t>(out.width);
    auto src = [&](int x, int y) {
      return plane + static_cast<std::size_t>(stride) * y + 3 * static_cast<std::size_t>(x);
    };
    auto dst = [&](int x, int y) { return out.rgb.get() + outStride * y + 3 * static_cast<std::size_t>(x); };
    // Picture point (X, Y) lands, turned anticlockwise by k quarters, at
    // k=0 (X, Y); k=1 (Y, W-1-X); k=2 (W-1-X, H-1-Y); k=3 (H-1-Y, X).
    const int W = grid.width, H = grid.height;
    switch (grid.quarterTurns) {
      case 0:
        for (int y = 0; y < h; ++y) std::memcpy(dst(x0, y0 + y), src(0, y), 3 * static_cast<std::size_t>(w));
        break;
      case 2:
        for (int y = 0; y < h; ++y) {
          std::uint8_t* d = dst(W - 1 - x0, H - 1 - (y0 + y));
          const std::uint8_t* s = src(0, y);
          for (int x = 0; x < w; ++x, d -= 3, s += 3) std::memcpy(d, s, 3);
        }
        break;
      default:  // 1 or 3: each picture column becomes a row
        for (int x = 0; x < w; ++x) {
          const int X = x0 + x;
          const bool ccw = grid.quarterTurns == 1;
          std::uint8_t* d = ccw ? dst(y0, W - 1 - X) : dst(H - 1 - y0, X);
          const std::uint8_t* s = src(x, 0);
          const std::ptrdiff_t step = ccw ? 3 : -3;
          for (int y = 0; y < h; ++y, d += step, s += stride) std::memcpy(d, s, 3);
        }
        break;
    }
  }
  if (image) heif_image_release(image);
  if (handle) heif_image_handle_release(handle);
  heif_context_free(ctx);
  return ok;
}

// ---- the grid's boxes ----

using PropertiesByType = std::map<std::string_view, std::vector<const Box*>>;

// The item's properties by kind; false for an index out of range or a kind
// not expected on the item (such as a mirror or a crop).
bool sortProperties(const Item& item, const std::vector<Box>& ipco, std::initializer_list<std::string_view> allowed,
                    PropertiesByType& byType) {
  for (auto [essential, index] : item.properties) {
    if (index == 0) continue;  // "no property"
    if (index > ipco.size()) return false;
    const Box& box = ipco[static_cast<std::size_t>(index) - 1];
    if (std::find(allowed.begin(), allowed.end(), box.type) == allowed.end()) return false;
    byType[box.type].push_back(&box);
  }
  return true;
}

// The grid descriptor (the grid item's data): rows, columns and the output
// size, at most kMaxPixels.
bool readGridDescriptor(const std::vector<Bytes>& data, HeifGrid& grid) {
  std::vector<std::uint8_t> descriptor = joined(data);
  ByteReader g(descriptor);
  const std::uint64_t version = g.uint(1), flags = g.uint(1);
  grid.rows = static_cast<int>(g.uint(1)) + 1;
  grid.columns = static_cast<int>(g.uint(1)) + 1;
  const int fieldSize = flags & 1 ? 4 : 2;
  const std::uint64_t width = g.uint(fieldSize), height = g.uint(fieldSize);
  if (!g.ok() || version != 0 || width == 0 || height == 0 || width * height > kMaxPixels) return false;
  grid.width = static_cast<int>(width);
  grid.height = static_cast<int>(height);
  return true;
}

// Adds `item` as the grid's next tile: an `hvc1` item with one decoder
// configuration and one size, the size of every other tile, and the grid's
// colour properties when it has any; false otherwise.
bool addTile(const Item& item, const std::vector<Box>& ipco, const std::vector<Bytes>& gridColour, Bytes file,
             Bytes idat, HeifGrid& grid) {
  if (item.type != "hvc1" || item.isProtected) return false;
  PropertiesByType props;
  if (!sortProperties(item, ipco, {"hvcC", "ispe", "colr", "pixi"}, props) || props["hvcC"].size() != 1 ||
      props["ispe"].size() != 1)
    return false;
  ByteReader ispe(props["ispe"][0]->payload);
  ispe.skip(4);
  const std::uint64_t tw = ispe.uint(4), th = ispe.uint(4);
  if (!ispe.ok() || tw == 0 || th == 0 || tw > 65536 || th > 65536 || tw * th > kMaxPixels) return false;
  if (grid.tileWidth == 0) {
    grid.tileWidth = static_cast<int>(tw);
    grid.tileHeight = static_cast<int>(th);
  } else if (tw != static_cast<std::uint64_t>(grid.tileWidth) || th != static_cast<std::uint64_t>(grid.tileHeight)) {
    return false;
  }
  // The tile is converted with its own colour properties, as libheif
  // converts the whole picture when the grid has none or the same ones
  // (as phones write them); a grid with others is left to libheif.
  std::vector<Bytes> colour;
  for (const Box* b : props["colr"]) colour.push_back(b->whole);
  if (!gridColour.empty() && !sameBoxes(colour, gridColour)) return false;
  std::optional<std::vector<Bytes>> data = dataOf(item, file, idat);
  if (!data) return false;
  HeifTile tile{std::move(*data), {props["hvcC"][0]->whole, props["ispe"][0]->whole}};
  for (Bytes c : colour) tile.properties.push_back(c);
  grid.tiles.push_back(std::move(tile));
  return true;
}

// The tiles cover the picture with no tile wholly outside it, and every
// size is even, so that the 4:2:0 chroma of a tile lines up with the
// picture's whichever way it is turned.
bool tilesCoverEvenly(const HeifGrid& grid) {
  const auto cover = [](int tiles, int tile, int size) {
    return static_cast<std::int64_t>(tiles) * tile >= size && static_cast<std::int64_t>(tiles - 1) * tile < size;
  };
  return cover(grid.columns, grid.tileWidth, grid.width) && cover(grid.rows, grid.tileHeight, grid.height) &&
         grid.width % 2 == 0 && grid.height % 2 == 0 && grid.tileWidth % 2 == 0 && grid.tileHeight % 2 == 0;
}

}  // namespace

std::optional<HeifGrid> heifGridOf(Bytes file) {
  std::optional<std::vector<Box>> top = heif::boxesIn(file);
  if (!top) return std::nullopt;
  auto metaBox = std::find_if(top->begin(), top->end(), [](const Box& b) { return b.type == "meta"; });
  std::optional<heif::Meta> meta = metaBox == top->end() ? std::nullopt : heif::readMeta(metaBox->payload);
  if (!meta) return std::nullopt;
  std::map<std::uint32_t, Item>& items = meta->items;
  const std::vector<Box>& ipco = meta->properties;
  const std::uint32_t primary = meta->primary;
  if (!items.count(primary) || items[primary].type != "grid" || items[primary].isProtected) return std::nullopt;
  const Item& gridItem = items[primary];

  PropertiesByType gridProps;
  if (!sortProperties(gridItem, ipco, {"ispe", "colr", "pixi", "irot"}, gridProps)) return std::nullopt;
  HeifGrid grid;
  if (gridProps["irot"].size() > 1) return std::nullopt;
  if (gridProps["irot"].size() == 1) {
    ByteReader r(gridProps["irot"][0]->payload);
    grid.quarterTurns = static_cast<int>(r.uint(1) & 3);
    if (!r.ok()) return std::nullopt;
  }
  std::optional<std::vector<Bytes>> gridData = dataOf(gridItem, file, meta->idat);
  if (!gridData || !readGridDescriptor(*gridData, grid)) return std::nullopt;

  const std::vector<std::uint32_t>* tileIds = nullptr;
  for (const auto& [type, to] : gridItem.references) {
    if (type != "dimg") continue;
    if (tileIds) return std::nullopt;  // two lists for one grid
    tileIds = &to;
  }
  if (!tileIds || tileIds->size() != static_cast<std::size_t>(grid.rows) * grid.columns) return std::nullopt;
  std::vector<Bytes> gridColour;
  for (const Box* b : gridProps["colr"]) gridColour.push_back(b->whole);
  for (std::uint32_t id : *tileIds) {
    auto it = items.find(id);
    if (it == items.end() || !addTile(it->second, ipco, gridColour, file, meta->idat, grid)) return std::nullopt;
  }
  if (!tilesCoverEvenly(grid)) return std::nullopt;
  return grid;
}

std::optional<RgbBuffer> decodeHeifGrid(const HeifGrid& grid, int threads) {
  RgbBuffer out;
  const bool turned = grid.quarterTurns % 2 == 1;
  out.width = turned ? grid.height : grid.width;
  out.height = turned ? grid.width : grid.height;
  // Not zeroed: every pixel is written by exactly one tile, and the pages
  // are first touched by the threads that fill them.
  out.rgb.reset(new (std::nothrow) std::uint8_t[3 * static_cast<std::size_t>(out.width) * out.height]);
  if (!out.rgb) return std::nullopt;
  std::atomic<bool> failed{false};
  forEachOnThreads(grid.tiles.size(), threads, [&](std::size_t k) {
    if (!failed.load(std::memory_order_relaxed) && !decodeTile(grid, k, out)) failed = true;
  });
  if (failed) return std::nullopt;
  return out;
}

}  // namespace imaging::detail
