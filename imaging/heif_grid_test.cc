#include "imaging/heif_grid.h"

#include <gtest/gtest.h>
#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace imaging::detail {
namespace {

const std::string kCorpus = CORPUS_DIR;

std::vector<std::uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// libheif's own decode of the whole primary image, rows without padding.
std::optional<RgbBuffer> libheifDecode(const std::vector<std::uint8_t>& data) {
  heif_context* ctx = heif_context_alloc();
  heif_image_handle* handle = nullptr;
  heif_image* image = nullptr;
  std::optional<RgbBuffer> out;
  if (heif_context_read_from_memory_without_copy(ctx, data.data(), data.size(), nullptr).code == heif_error_Ok &&
      heif_context_get_primary_image_handle(ctx, &handle).code == heif_error_Ok &&
      heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code ==
          heif_error_Ok) {
    int stride = 0;
    const std::uint8_t* plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    out = RgbBuffer{heif_image_get_width(image, heif_channel_interleaved),
                    heif_image_get_height(image, heif_channel_interleaved), nullptr};
    const std::size_t row = 3 * static_cast<std::size_t>(out->width);
    out->rgb.reset(new std::uint8_t[row * out->height]);
    for (int y = 0; y < out->height; ++y) std::memcpy(out->rgb.get() + row * y, plane + std::size_t(stride) * y, row);
  }
  if (image) heif_image_release(image);
  if (handle) heif_image_handle_release(handle);
  heif_context_free(ctx);
  return out;
}

bool samePixels(const RgbBuffer& a, const RgbBuffer& b) {
  return a.width == b.width && a.height == b.height &&
         std::memcmp(a.rgb.get(), b.rgb.get(), 3 * static_cast<std::size_t>(a.width) * a.height) == 0;
}

// Where the file's `irot` property keeps its angle.
std::size_t irotAngleAt(const std::vector<std::uint8_t>& data) {
  const std::uint8_t box[] = {0, 0, 0, 9, 'i', 'r', 'o', 't'};
  auto at = std::search(data.begin(), data.end(), std::begin(box), std::end(box));
  return at == data.end() ? 0 : static_cast<std::size_t>(at - data.begin()) + sizeof box;
}

class HeifGridTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = readFile(kCorpus + "/heif/iphone_13_pro_max.HEIC");
    if (data_.empty()) GTEST_SKIP() << "corpus not found at " << kCorpus;
    angleAt_ = irotAngleAt(data_);
    ASSERT_NE(angleAt_, 0u);
  }
  std::vector<std::uint8_t> data_;  // 8 x 6 tiles of 512, the last column and row cut by the picture's edge
  std::size_t angleAt_ = 0;
};

// Every turn a grid may carry, on more threads than cores and on one: the
// very pixels libheif gives for the whole picture.
TEST_F(HeifGridTest, TurnedGridsGiveLibheifsPixels) {
  for (int turns = 0; turns < 4; ++turns) {
    SCOPED_TRACE("quarter turns " + std::to_string(turns));
    data_[angleAt_] = static_cast<std::uint8_t>(turns);
    std::optional<HeifGrid> grid = heifGridOf(data_);
    ASSERT_TRUE(grid);
    EXPECT_EQ(grid->quarterTurns, turns);
    std::optional<RgbBuffer> want = libheifDecode(data_);
    ASSERT_TRUE(want);
    std::optional<RgbBuffer> got = decodeHeifGrid(*grid, turns % 2 ? 1 : 5);
    ASSERT_TRUE(got);
    EXPECT_TRUE(samePixels(*got, *want));
  }
}

// A mirror, data cut short: left to libheif. A damaged tile decodes to
// noise that differs from run to run (libde265 leaves broken blocks
// unset), in libheif's own decode as well: it fails where libheif's fails,
// and the noise stays inside the tile's own square.
TEST_F(HeifGridTest, UnusualOrDamagedGrids) {
  std::vector<std::uint8_t> mirrored = data_;
  std::memcpy(&mirrored[angleAt_ - 4], "imir", 4);
  EXPECT_FALSE(heifGridOf(mirrored));
  std::vector<std::uint8_t> cut(data_.begin(), data_.end() - 1000);
  EXPECT_FALSE(heifGridOf(cut));

  std::optional<HeifGrid> grid = heifGridOf(data_);
  ASSERT_TRUE(grid);
  ASSERT_EQ(grid->quarterTurns, 3);
  const int damagedTile = 20;
  const std::size_t tileAt = static_cast<std::size_t>(grid->tiles[damagedTile].extents[0].data() - data_.data());
  for (std::size_t k = tileAt + 200; k < tileAt + 4000 && k < data_.size(); k += 7) data_[k] ^= 0x5a;
  std::optional<HeifGrid> damagedGrid = heifGridOf(data_);
  ASSERT_TRUE(damagedGrid);
  std::optional<RgbBuffer> got = decodeHeifGrid(*damagedGrid, 2);
  std::optional<RgbBuffer> want = libheifDecode(data_);
  ASSERT_EQ(got.has_value(), want.has_value());
  if (!got) return;
  ASSERT_EQ(got->width, want->width);
  ASSERT_EQ(got->height, want->height);
  // Turned clockwise: the tile's columns become rows, its rows columns from the right.
  const int x0 = damagedTile % grid->columns * grid->tileWidth, y0 = damagedTile / grid->columns * grid->tileHeight;
  const int left = grid->height - y0 - grid->tileHeight, right = grid->height - y0;
  long outside = 0;
  for (int y = 0; y < got->height; ++y)
    for (int x = 0; x < got->width; ++x) {
      const bool inTile = y >= x0 && y < x0 + grid->tileWidth && x >= left && x < right;
      const std::size_t at = 3 * (static_cast<std::size_t>(y) * got->width + x);
      if (!inTile && std::memcmp(got->rgb.get() + at, want->rgb.get() + at, 3) != 0) ++outside;
    }
  EXPECT_EQ(outside, 0);
}

}  // namespace
}  // namespace imaging::detail
