// The scan's inventory: the images to scan, newest first, and the counts of
// the totals line.
#pragma once

#include <cstdint>
#include <vector>

#include "jsonlines/emit.h"
#include "photolibrary/photo_library.h"

namespace albumsweep {

struct Inventory {
  std::vector<photolibrary::Asset> assets;  // images, hidden ones left out, newest first
  std::int64_t videoCount = 0;          // visible videos
  std::int64_t hiddenExtra = 0;         // hidden assets of any media type
  std::int64_t planned = 0;             // min(assets, maxAssets): the first `planned` are scanned
};

Inventory takeInventory(photolibrary::PhotoLibrary& library, std::int64_t maxAssets);

// {"auth":"authorized","total":planned,"library_total":..,"video_total":..,"hidden_total":..}
jsonlines::Record totalsRecord(const Inventory& inventory);

}  // namespace albumsweep
