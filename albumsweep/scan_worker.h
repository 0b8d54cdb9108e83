// The per-asset worker of the scan: asks the library for an asset's
// original bytes, classifies the answer, fingerprints readable images
// (SHA-256 of the bytes, difference hash and base64 JPEG of one 256-pixel
// thumbnail) and writes the asset's record, then counts it as finished.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "albumsweep/scan_output.h"
#include "albumsweep/skip_manifest.h"
#include "jsonlines/emit.h"
#include "platform/photo_library.h"

namespace albumsweep {

// What every worker reads; complete before the first worker starts.
struct ScanContext {
  platform::PhotoLibrary* library = nullptr;
  bool allowCloudFetch = false;
  const SkipManifest* skip = nullptr;
  ScanOutput* output = nullptr;
};

// The outcome of one image request, before it becomes a record.
struct AssetResult {
  std::string state = "unknown";  // "unknown", "cloud", "cachedhit" or "local"
  std::string err = "no_result";  // empty on success
  std::optional<std::string> hash, sha, thumb;
  std::int64_t w = 0, h = 0;      // stored pixel size of the image data
  std::int64_t bytes = 0;
};

// Writes exactly one record for the asset (the full, cached or failure
// form, plus "multires" for Live Photos and RAW+JPEG pairs), then counts it
// in `finished` with its progress line when due. Never fails.
void scanOne(std::int64_t i, const platform::Asset& asset, const ScanContext& ctx);

// Request options of the scan: network access only with cloud fetch, and
// then a progress handler that calls the heartbeat.
platform::ImageRequestOptions makeScanOptions(const ScanContext& ctx);

// Seconds since 1970 as whole milliseconds, truncated toward zero; 0 for a
// missing date (and for one no 64-bit millisecond count can hold).
std::int64_t millisecondsFrom(std::optional<double> seconds);

// SHA-256 of the bytes as 64 lowercase hexadecimal digits.
std::string sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace albumsweep
