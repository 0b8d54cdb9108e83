// The per-asset worker of the scan: asks the library for an asset's
// original data, classifies the answer, fingerprints readable images
// (SHA-256 of the bytes, difference hash and base64 JPEG of one 256-pixel
// thumbnail) and writes the asset's record, then counts it as finished.
// The three steps can run apart (requestAsset, fingerprint, writeRecord),
// so that the scan can fingerprint ahead of the record it writes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "albumsweep/scan_output.h"
#include "albumsweep/scan_pipeline.h"
#include "albumsweep/skip_manifest.h"
#include "jsonlines/emit.h"
#include "photolibrary/photo_library.h"

namespace albumsweep {

// What every worker reads; complete before the first worker starts.
struct ScanContext {
  photolibrary::PhotoLibrary* library = nullptr;
  bool allowCloudFetch = false;
  const SkipManifest* skip = nullptr;
  ScanOutput* output = nullptr;
  DecodeGate* gate = nullptr;  // bounds the fingerprints made at once; may be null
};

// The outcome of one image request, before it becomes a record.
struct AssetResult {
  std::string state = "unknown";  // "unknown", "cloud", "cachedhit" or "local"
  std::string err = "no_result";  // empty on success
  std::optional<std::string> hash, sha, thumb;
  std::int64_t w = 0, h = 0;      // stored pixel size of the image data
  std::int64_t bytes = 0;
};

// One asset between its request and its record.
struct PreparedAsset {
  std::string name;  // the primary resource's file name, valid UTF-8
  bool multires = false;
  std::int64_t mod = 0;
  AssetResult result;
  // Set when the answer has data to fingerprint and fingerprint() has not
  // run yet; its bytes are read only then (a cache hit reads none).
  std::shared_ptr<photolibrary::ImageData> toFingerprint;
};

// Asks the library for the asset's data and classifies the answer (in the
// cloud, degraded, no data, unchanged since the manifest); decodes nothing.
PreparedAsset requestAsset(const photolibrary::Asset& asset, const ScanContext& ctx);

// Reads the bytes once and makes the SHA-256, difference hash and thumbnail
// of them, so the record describes one version of the file even when it
// changes meanwhile. Does nothing when there is nothing to fingerprint.
void fingerprint(PreparedAsset& prepared);

// Writes exactly one record for the asset (the full, cached or failure
// form, plus "multires" for Live Photos and RAW+JPEG pairs), then counts it
// in `finished` with its progress line when due. Never fails.
void writeRecord(std::int64_t i, const photolibrary::Asset& asset, const PreparedAsset& prepared,
                 const ScanContext& ctx);

// All three steps on the calling thread, the fingerprint through the gate.
void scanOne(std::int64_t i, const photolibrary::Asset& asset, const ScanContext& ctx);

// Request options of the scan: network access only with cloud fetch, and
// then a progress handler that calls the heartbeat.
photolibrary::ImageRequestOptions makeScanOptions(const ScanContext& ctx);

// Seconds since 1970 as whole milliseconds, truncated toward zero; 0 for a
// missing date (and for one no 64-bit millisecond count can hold).
std::int64_t millisecondsFrom(std::optional<double> seconds);

}  // namespace albumsweep
