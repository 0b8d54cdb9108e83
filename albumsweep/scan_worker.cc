#include "albumsweep/scan_worker.h"

#include <cmath>
#include <vector>

#include "imaging/digest.h"
#include "imaging/imaging.h"
#include "jsonlines/text.h"

namespace albumsweep {
namespace {

constexpr double kThumbQuality = 0.7;

bool isMultires(const photolibrary::Asset& asset, const std::vector<photolibrary::AssetResource>& resources) {
  if (asset.mediaSubtypes & photolibrary::kMediaSubtypeLivePhoto) return true;
  for (const auto& r : resources) {
    switch (r.type) {
      case photolibrary::kResourceAlternatePhoto:
      case photolibrary::kResourcePairedVideo:
      case photolibrary::kResourceFullSizePairedVideo:
      case photolibrary::kResourceAdjustmentBasePairedVideo:
        return true;
      default:
        break;
    }
  }
  return false;
}

// The result handler: classifies one answer of the library. Tests in this
// order: in the cloud, degraded, no data, unchanged since the manifest;
// what is left is to be fingerprinted.
void classify(std::shared_ptr<photolibrary::ImageData> data, const photolibrary::ImageResultInfo* info,
              const std::string& id, std::int64_t mod, const SkipManifest& skip, PreparedAsset& p) {
  AssetResult& r = p.result;
  bool inCloud = info && info->inCloud;
  bool degraded = info && info->degraded;
  bool hasError = info && info->hasError;
  if (inCloud) {
    r.state = "cloud";
    r.err = "in_cloud";
    return;
  }
  if (degraded) {
    r.state = "unknown";
    r.err = "degraded_only";
    return;
  }
  if (!data || data->size() <= 0) {
    r.state = "unknown";
    r.err = hasError ? "read_failed" : "no_data";
    return;
  }
  std::int64_t size = data->size();
  if (skip.matches(id, mod, size)) {
    r.state = "cachedhit";
    r.bytes = size;
    return;
  }
  p.toFingerprint = std::move(data);
}

jsonlines::Record buildRecord(std::int64_t i, const photolibrary::Asset& asset, const std::string& name, bool multires,
                              std::int64_t mod, const AssetResult& r) {
  std::int64_t created = millisecondsFrom(asset.creationDate);
  jsonlines::Record rec;
  rec["i"] = i;
  rec["id"] = asset.localIdentifier;
  if (r.state == "cachedhit") {
    rec["state"] = "local";
    rec["ok"] = true;
    rec["cached"] = true;
    rec["bytes"] = r.bytes;
    rec["mod"] = mod;
    rec["w"] = asset.pixelWidth;
    rec["h"] = asset.pixelHeight;
    rec["created"] = created;
    rec["name"] = name;
  } else if (r.state == "local" && r.hash) {
    rec["state"] = "local";
    rec["ok"] = true;
    rec["hash"] = *r.hash;
    rec["sha"] = r.sha.value_or("");
    rec["w"] = r.w > 0 ? r.w : asset.pixelWidth;
    rec["h"] = r.h > 0 ? r.h : asset.pixelHeight;
    rec["bytes"] = r.bytes;
    rec["created"] = created;
    rec["mod"] = mod;
    rec["thumb"] = r.thumb.value_or("");
    rec["name"] = name;
  } else {
    rec["state"] = r.state;
    rec["ok"] = false;
    rec["err"] = r.err;
    if (r.state == "cloud") {
      rec["w"] = asset.pixelWidth;
      rec["h"] = asset.pixelHeight;
      rec["created"] = created;
      rec["mod"] = mod;
      rec["name"] = name;
    }
  }
  if (multires) rec["multires"] = true;
  return rec;
}

}  // namespace

std::int64_t millisecondsFrom(std::optional<double> seconds) {
  if (!seconds) return 0;
  double ms = std::trunc(*seconds * 1000.0);
  // Outside [-2^63, 2^63) (or not a number) no millisecond count exists.
  if (!(ms >= -9223372036854775808.0 && ms < 9223372036854775808.0)) return 0;
  return static_cast<std::int64_t>(ms);
}

photolibrary::ImageRequestOptions makeScanOptions(const ScanContext& ctx) {
  photolibrary::ImageRequestOptions options;
  options.networkAccessAllowed = ctx.allowCloudFetch;
  if (ctx.allowCloudFetch) {
    ScanOutput* output = ctx.output;
    options.progressHandler = [output] { output->heartbeatTick(); };
  }
  return options;
}

PreparedAsset requestAsset(const photolibrary::Asset& asset, const ScanContext& ctx) {
  PreparedAsset p;
  p.mod = millisecondsFrom(asset.modificationDate ? asset.modificationDate : asset.creationDate);
  std::vector<photolibrary::AssetResource> resources = ctx.library->assetResources(asset);
  // File names are bytes on Linux; records must stay valid UTF-8.
  p.name = resources.empty() ? std::string() : jsonlines::validUtf8(resources.front().originalFilename);
  p.multires = isMultires(asset, resources);
  bool answered = false;
  ctx.library->requestLazyImageData(
      asset, makeScanOptions(ctx),
      [&](std::shared_ptr<photolibrary::ImageData> data, const photolibrary::ImageResultInfo* info) {
        if (answered) return;  // a result is taken once
        answered = true;
        classify(std::move(data), info, asset.localIdentifier, p.mod, *ctx.skip, p);
      });
  return p;
}

void fingerprint(PreparedAsset& p) {
  if (!p.toFingerprint) return;
  std::shared_ptr<photolibrary::ImageData> data = std::move(p.toFingerprint);
  AssetResult& r = p.result;
  const std::optional<std::span<const std::uint8_t>> bytes = data->bytes();
  if (!bytes || bytes->empty()) {
    r.state = "unknown";
    r.err = bytes ? "no_data" : "read_failed";
    return;
  }
  std::optional<imaging::Thumb> thumb = imaging::thumbFrom(*bytes, 256);
  std::optional<std::uint64_t> hash = thumb ? imaging::dhash(thumb->image) : std::nullopt;
  if (!hash) {
    r.state = "unknown";
    r.err = "decode_failed";
    return;
  }
  r.state = "local";
  r.err.clear();
  r.hash = imaging::hashText(*hash);
  r.sha = imaging::sha256Hex(*bytes);
  r.thumb = imaging::jpegBase64(thumb->image, kThumbQuality);
  r.w = thumb->width;
  r.h = thumb->height;
  r.bytes = static_cast<std::int64_t>(bytes->size());
}

void writeRecord(std::int64_t i, const photolibrary::Asset& asset, const PreparedAsset& p, const ScanContext& ctx) {
  ctx.output->emitLocked(buildRecord(i, asset, p.name, p.multires, p.mod, p.result));
  ctx.output->finishOne();
}

void scanOne(std::int64_t i, const photolibrary::Asset& asset, const ScanContext& ctx) {
  // Everything made for this asset (the image bytes, thumbnail, JPEG text,
  // record) is owned by this frame and released when it returns.
  PreparedAsset p = requestAsset(asset, ctx);
  if (p.toFingerprint) {
    std::uint64_t cost = DecodeGate::costOf(asset, p.toFingerprint->size());
    if (ctx.gate) ctx.gate->acquire(cost);
    fingerprint(p);
    if (ctx.gate) ctx.gate->release(cost);
  }
  writeRecord(i, asset, p, ctx);
}

}  // namespace albumsweep
