// Shared by the thumbnail and verification mode tests: one scripted library
// answer per row of a result table.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "albumsweep/scan_test_support.h"
#include "photolibrary/fake_photo_library.h"

namespace albumsweep::testing {

// One row: what the library answers for `id`, and the code a mode makes of
// it (empty: the item succeeds).
struct ScriptedResult {
  std::string id;
  const std::vector<std::uint8_t>* data;  // nullptr: none
  std::optional<photolibrary::ImageResultInfo> info;
  std::string expected;
  bool callsHandler = true;
};

inline photolibrary::ImageResultInfo resultInfo(bool inCloud, bool cancelled, bool degraded, bool hasError) {
  photolibrary::ImageResultInfo i;
  i.inCloud = inCloud;
  i.cancelled = cancelled;
  i.degraded = degraded;
  i.hasError = hasError;
  return i;
}

inline photolibrary::FakePhotoLibrary::Entry scriptedEntry(const ScriptedResult& row) {
  photolibrary::FakePhotoLibrary::Entry e = imageEntry(row.id, 1, {});
  if (row.data) e.response.data = *row.data;
  else e.response.data.reset();
  e.response.info = row.info;
  e.response.callsHandler = row.callsHandler;
  return e;
}

}  // namespace albumsweep::testing
