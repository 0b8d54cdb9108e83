// What albumsweep asks of a photo library, and nothing more.
//
// Two implementations: the folder library (folder_library.h), which treats
// a folder tree of image and video files as the library, and the scripted
// fake of the tests (fake_photo_library.h), which can answer every state a
// library may be in.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>
#include <utility>

namespace photolibrary {

// Answer to an access request. Values are part of the protocol.
enum class AuthorizationStatus : int {
  kNotDetermined = 0,
  kRestricted = 1,
  kDenied = 2,
  kAuthorized = 3,
  kLimited = 4,
};

enum class MediaType : int { kUnknown = 0, kImage = 1, kVideo = 2 };

// Media subtype bit of a Live Photo (a still with a paired video).
inline constexpr std::uint64_t kMediaSubtypeLivePhoto = 8;

// Resource types of an asset's files.
inline constexpr int kResourcePhoto = 1;
inline constexpr int kResourceAlternatePhoto = 4;  // e.g. the raw file of a RAW+JPEG pair
inline constexpr int kResourcePairedVideo = 9;     // the video of a Live Photo
inline constexpr int kResourceFullSizePairedVideo = 10;
inline constexpr int kResourceAdjustmentBasePairedVideo = 11;

struct AssetResource {
  int type = kResourcePhoto;
  std::string originalFilename;
};

// One asset as a value. Dates are seconds since 1970-01-01 00:00:00 UTC,
// fractional, possibly missing. pixelWidth/pixelHeight are the upright
// (displayed) size.
struct Asset {
  std::string localIdentifier;
  MediaType mediaType = MediaType::kImage;
  std::optional<double> creationDate;
  std::optional<double> modificationDate;
  std::int64_t pixelWidth = 0;
  std::int64_t pixelHeight = 0;
  std::uint64_t mediaSubtypes = 0;
  bool hidden = false;
};

struct FetchOptions {
  bool newestFirst = false;    // sort by creation date, descending
  bool includeHidden = false;  // hidden assets are left out unless asked for
};

// Options of one image data request. Requests are always synchronous, for
// the original unedited bytes, at full quality, without resizing.
struct ImageRequestOptions {
  bool networkAccessAllowed = false;
  // Called on a library thread while data is downloaded; only ever called
  // when network access is allowed. May be empty.
  std::function<void()> progressHandler;
};

// The information that comes with a result. "hasError" means an error value
// is present, whether or not data came too.
struct ImageResultInfo {
  bool inCloud = false;
  bool degraded = false;
  bool cancelled = false;
  bool hasError = false;
};

// Result handler of an image request: the bytes (nullptr for none) and the
// information (nullptr for none). Both are valid only during the call.
using ImageResultHandler =
    std::function<void(const std::vector<std::uint8_t>* data, const ImageResultInfo* info)>;

// The original bytes of an answer, read only when they are asked for: a
// caller that needs no more than the byte count reads nothing. Holds what
// it needs to read them (an open file), so it may outlive the answer and be
// read on another thread; one thread at a time.
class ImageData {
 public:
  virtual ~ImageData() = default;
  // The byte count when the request was answered (a file's size at open).
  virtual std::int64_t size() const = 0;
  // The bytes, read on the first call and kept; none when they cannot be
  // read. Their count may differ from size() when the file changed.
  virtual std::optional<std::span<const std::uint8_t>> bytes() = 0;
};

// Bytes already in memory.
class InMemoryImageData : public ImageData {
 public:
  explicit InMemoryImageData(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::int64_t size() const override { return static_cast<std::int64_t>(bytes_.size()); }
  std::optional<std::span<const std::uint8_t>> bytes() override { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Result handler of a request for lazy data: `data` is null for none.
using LazyImageResultHandler =
    std::function<void(std::shared_ptr<ImageData> data, const ImageResultInfo* info)>;

class PhotoLibrary {
 public:
  virtual ~PhotoLibrary() = default;

  // Asks for read-and-write access. `done` is called at most once, on any
  // thread, possibly after this call returns, possibly never.
  virtual void requestAuthorization(std::function<void(AuthorizationStatus)> done) = 0;

  // Assets of one media type, ordered as the options say (newest first:
  // creation date descending, equal dates by identifier ascending).
  virtual std::vector<Asset> fetchAssets(MediaType type, const FetchOptions& options) = 0;

  // Number of assets of every media type.
  virtual std::int64_t countAssets(const FetchOptions& options) = 0;

  // The assets the library knows among `identifiers`, each once, in any
  // order. Unknown identifiers are left out.
  virtual std::vector<Asset> fetchAssetsWithLocalIdentifiers(
      std::span<const std::string> identifiers) = 0;

  // The asset's resources in the library's order (primary first).
  virtual std::vector<AssetResource> assetResources(const Asset& asset) = 0;

  // Synchronous: when this returns, `handler` has run at most once, on the
  // calling thread. Safe to call from several threads at once.
  virtual void requestImageData(const Asset& asset, const ImageRequestOptions& options,
                                const ImageResultHandler& handler) = 0;

  // The same request, answering with data whose bytes are read only when
  // asked for. Same threading as requestImageData. By default the bytes are
  // read in full by requestImageData and handed over in memory.
  virtual void requestLazyImageData(const Asset& asset, const ImageRequestOptions& options,
                                    const LazyImageResultHandler& handler) {
    requestImageData(asset, options, [&](const std::vector<std::uint8_t>* data, const ImageResultInfo* info) {
      handler(data ? std::make_shared<InMemoryImageData>(*data) : nullptr, info);
    });
  }
};

}  // namespace photolibrary
