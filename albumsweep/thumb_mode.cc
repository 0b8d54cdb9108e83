// Thumbnail mode: small JPEG previews of the library assets the host names.
//
// Standard input holds local identifiers separated by zero bytes. Every
// identifier gets one line, in input order:
//   {"i": position, "id": identifier, "ok": true,  "b64": base64 JPEG}
//   {"i": position, "id": identifier, "ok": false, "err": code}
// Codes, in the order they are tested: "not_found" (the library does not
// know the identifier; no request is made), "in_cloud", "canceled",
// "degraded_only", "read_failed" (an error came with the result, even with
// data), "no_data", "decode_failed" (no thumbnail or no JPEG could be made),
// "no_result" (the library never answered). A line that cannot be written
// (a full disk, a reader gone) ends the run there with exit status 1.
//
// Only local data is used: every request is made with network access off,
// whatever "--allow-cloud" says, so an asset whose data is not on local
// storage is "in_cloud" and nothing is downloaded. Identifiers are untrusted;
// the library decides which ones name an asset (the folder library finds no
// asset outside its root, through a link, or in a special file), and an
// identifier it does not know costs nothing but its "not_found" line.
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "albumsweep/auth.h"
#include "albumsweep/modes.h"
#include "jsonlines/text.h"
#include "imaging/imaging.h"
#include "jsonlines/emit.h"

namespace albumsweep {
namespace {

constexpr int kPreviewBound = 256;
constexpr double kPreviewQuality = 0.72;


// What one image request left: the preview, or the code of why there is none.
struct PreviewResult {
  std::optional<std::string> preview;
  std::string error = "no_result";
};

PreviewResult requestPreview(photolibrary::PhotoLibrary& library, const photolibrary::Asset& asset) {
  photolibrary::ImageRequestOptions options;
  options.networkAccessAllowed = false;
  PreviewResult result;
  auto answer = [&](const std::vector<std::uint8_t>* data, const photolibrary::ImageResultInfo* info) {
    if (info) {
      if (info->inCloud) return void(result.error = "in_cloud");
      if (info->cancelled) return void(result.error = "canceled");
      if (info->degraded) return void(result.error = "degraded_only");
      if (info->hasError) return void(result.error = "read_failed");
    }
    if (!data || data->empty()) return void(result.error = "no_data");
    std::optional<imaging::Thumb> thumb = imaging::thumbFrom(*data, kPreviewBound);
    std::optional<std::string> jpeg;
    if (thumb) jpeg = imaging::jpegBase64(thumb->image, kPreviewQuality);
    if (!jpeg) return void(result.error = "decode_failed");
    result.preview = std::move(jpeg);
  };
  library.requestImageData(asset, options, answer);
  return result;
}

}  // namespace

int runThumbMode(const RunSettings&, Services& services) {
  if (std::optional<int> refused = ensureAuth(services)) return *refused;

  const std::vector<std::string> ids = jsonlines::zeroSeparatedList(services.input);
  if (ids.empty()) return 0;

  // All identifiers are resolved with one fetch.
  std::map<std::string, photolibrary::Asset> assetsById;
  for (photolibrary::Asset& asset : services.library->fetchAssetsWithLocalIdentifiers(ids))
    assetsById.emplace(asset.localIdentifier, std::move(asset));

  for (size_t i = 0; i < ids.size(); ++i) {
    jsonlines::Record record = {{"i", static_cast<std::int64_t>(i)}, {"id", ids[i]}};
    auto found = assetsById.find(ids[i]);
    PreviewResult result;
    if (found == assetsById.end()) {
      result.error = "not_found";
    } else {
      result = requestPreview(*services.library, found->second);
    }
    if (result.preview) {
      record["ok"] = true;
      record["b64"] = std::move(*result.preview);
    } else {
      record["ok"] = false;
      record["err"] = result.error;
    }
    if (!jsonlines::emit(record, services.out)) return jsonlines::kExitOutputFailed;  // no further work
  }
  return 0;
}

}  // namespace albumsweep
