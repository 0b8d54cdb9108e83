#include "albumsweep/inventory.h"

#include <algorithm>

namespace albumsweep {

Inventory takeInventory(photolibrary::PhotoLibrary& library, std::int64_t maxAssets) {
  Inventory inv;
  photolibrary::FetchOptions newestFirst;
  newestFirst.newestFirst = true;
  inv.assets = library.fetchAssets(photolibrary::MediaType::kImage, newestFirst);
  inv.videoCount = static_cast<std::int64_t>(library.fetchAssets(photolibrary::MediaType::kVideo, {}).size());
  photolibrary::FetchOptions withHidden;
  withHidden.includeHidden = true;
  std::int64_t visibleAll = library.countAssets({});
  std::int64_t allWithHidden = library.countAssets(withHidden);
  inv.hiddenExtra = std::max<std::int64_t>(allWithHidden - visibleAll, 0);
  inv.planned = std::min<std::int64_t>(static_cast<std::int64_t>(inv.assets.size()), maxAssets);
  return inv;
}

jsonlines::Record totalsRecord(const Inventory& inv) {
  return {{"auth", "authorized"},
          {"total", inv.planned},
          {"library_total", static_cast<std::int64_t>(inv.assets.size())},
          {"video_total", inv.videoCount},
          {"hidden_total", inv.hiddenExtra}};
}

}  // namespace albumsweep
