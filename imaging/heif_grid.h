// HEIF primary images stored as a grid of HEVC tiles (every phone photo),
// decoded tile by tile on several threads (internal to the imaging module).
//
// libheif 1.15 decodes a grid's tiles on its own threads but then assembles,
// converts to RGB and rotates the whole picture on the calling thread, and
// its public interface offers no handle to a single tile. So the file's
// boxes are read here, and each tile is handed to libheif as a file of its
// own (the tile's coded data, its decoder configuration, size and colour
// properties): libheif decodes it and converts it to RGB with the very code
// it uses for the whole picture, on one of our threads, and the tile is
// copied straight to its place in the picture, turned by the grid's `irot`.
//
// Only the plain case is taken: a grid of same-sized 8-bit `hvc1` tiles
// whose only transform is `irot`, every box well-formed and in bounds.
// Anything else (mirroring, cropping, other tile kinds, colour properties
// that differ between grid and tiles, odd sizes, a tile that fails) is left
// to libheif's own decode of the whole picture, so that the pixels are
// always exactly what libheif gives.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace imaging::detail {

struct HeifTile {
  std::vector<std::span<const std::uint8_t>> extents;     // the coded data, in order
  std::vector<std::span<const std::uint8_t>> properties;  // whole boxes: hvcC, ispe, colr
};

struct HeifGrid {
  int columns = 0;
  int rows = 0;
  int tileWidth = 0;
  int tileHeight = 0;
  int width = 0;  // the grid's output size, before irot
  int height = 0;
  int quarterTurns = 0;         // irot: anticlockwise quarter turns, 0..3
  std::vector<HeifTile> tiles;  // row by row
};

// The primary image's grid, when it is one this module decodes tile by tile;
// nothing otherwise (not a grid, or anything unusual or out of bounds). Views
// into `file`, which must outlive the result.
std::optional<HeifGrid> heifGridOf(std::span<const std::uint8_t> file);

// 8-bit interleaved RGB pixels without row padding.
struct RgbBuffer {
  int width = 0;
  int height = 0;
  std::unique_ptr<std::uint8_t[]> rgb;
};

// Decodes every tile (on up to `threads` threads, the calling one among
// them), converts it to RGB and puts it in place, turned by the grid's irot.
// Nothing when any tile fails to decode or does not have the declared size.
std::optional<RgbBuffer> decodeHeifGrid(const HeifGrid& grid, int threads);

}  // namespace imaging::detail
