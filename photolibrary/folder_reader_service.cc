// The reader process's side: a folder library of its own, without a
// reader, that answers the requests the library in the program sends
// (folder_reader_client.h), and keeps the files of lazy data requests open
// until they are read or let go.
#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "photolibrary/folder_library.h"
#include "photolibrary/folder_library_class.h"
#include "photolibrary/folder_reader_messages.h"

namespace photolibrary {
namespace {

using folder::FolderLibrary;

// Sends a file's bytes as frames of at most one read chunk.
bool sendBytes(ImageData& data, reader::Replier& reply) {
  std::optional<std::span<const std::uint8_t>> bytes = data.bytes();
  if (!bytes) return false;
  for (std::size_t at = 0; at < bytes->size(); at += folder::kReadChunk)
    if (!reply.frame(reader::kBytes, bytes->subspan(at, std::min(folder::kReadChunk, bytes->size() - at))))
      return false;
  return true;
}

// The library of the reader process and the files it keeps open for data
// requests not yet read, by handle.
class ReaderService {
 public:
  explicit ReaderService(std::unique_ptr<FolderLibrary> library) : library_(std::move(library)) {}

  // One request, its answer through `reply`.
  void serve(std::string_view request, reader::Replier& reply) {
    reader::Decoder in(request);
    reader::Encoder out;
    switch (in.u64()) {
      case folder::kOpInventory:
        reply.frame(reader::kEnd, folder::encodeEntries(library_->inventory()));
        return;
      case folder::kOpIdentifiers:
        reply.frame(reader::kEnd, folder::encodeEntries(lookUp(in)));
        return;
      case folder::kOpOpen:
        open(in, reply, out);
        break;
      case folder::kOpRead: {
        std::shared_ptr<ImageData> data = takeHandle(in.u64());
        out.u64(data && sendBytes(*data, reply));
        break;
      }
      case folder::kOpDrop:
        takeHandle(in.u64());
        break;
      default:
        break;
    }
    reply.frame(reader::kEnd, out.bytes());
  }

 private:
  // The entries of the identifiers the request lists.
  std::vector<folder::Entry> lookUp(reader::Decoder& in) {
    std::vector<std::string> ids;
    for (std::uint64_t k = 0, n = in.u64(); k < n && !in.failed(); ++k) ids.push_back(in.str());
    std::vector<folder::Entry> entries;
    for (Asset& a : library_->fetchAssetsWithLocalIdentifiers(ids)) {
      std::vector<AssetResource> resources = library_->assetResources(a);
      entries.push_back({std::move(a), std::move(resources)});
    }
    return entries;
  }

  // A data request: its info, whether it has data and its size, then the
  // bytes sent at once and whether they were read, or the handle the file
  // is kept under.
  void open(reader::Decoder& in, reader::Replier& reply, reader::Encoder& out) {
    Asset asset;
    asset.localIdentifier = in.str();
    ImageRequestOptions options;
    options.networkAccessAllowed = in.u64() != 0;
    const bool readNow = in.u64() != 0;
    if (options.networkAccessAllowed)
      options.progressHandler = [&reply] { reply.frame(reader::kProgress, std::string_view()); };
    std::shared_ptr<ImageData> data;
    ImageResultInfo info;
    library_->requestLazyImageData(asset, options, [&](std::shared_ptr<ImageData> d, const ImageResultInfo* i) {
      data = std::move(d);
      if (i != nullptr) info = *i;
    });
    folder::encodeInfo(out, info);
    out.u64(data != nullptr).i64(data ? data->size() : 0);
    if (data && readNow) {
      out.u64(sendBytes(*data, reply));
    } else if (data) {
      std::lock_guard<std::mutex> g(mu_);
      handles_[++lastHandle_] = std::move(data);
      out.u64(lastHandle_);
    }
  }

  // Takes a handle of the table of open files; null when unknown.
  std::shared_ptr<ImageData> takeHandle(std::uint64_t handle) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) return nullptr;
    std::shared_ptr<ImageData> data = std::move(it->second);
    handles_.erase(it);
    return data;
  }

  std::unique_ptr<FolderLibrary> library_;
  std::mutex mu_;
  std::unordered_map<std::uint64_t, std::shared_ptr<ImageData>> handles_;  // guarded by mu_
  std::uint64_t lastHandle_ = 0;
};

}  // namespace

std::shared_ptr<reader::Process> startFolderReader(const std::string& root, bool networkAccessAllowed,
                                                   std::optional<std::chrono::system_clock::time_point> headersBy,
                                                   std::function<void()> lockDown) {
  // The reader's own library, made in the reader once it is locked down.
  auto served = std::make_shared<std::unique_ptr<ReaderService>>();
  reader::Setup setup;
  // Enough channels for every thread that may ask at once (a scan's
  // pipeline, its fingerprint threads, the cloud workers); more callers wait.
  setup.channels = 2 * static_cast<int>(std::max(1u, std::thread::hardware_concurrency())) + 9;
  setup.lockDown = std::move(lockDown);
  setup.prepare = [served, root, networkAccessAllowed, headersBy] {
    *served = std::make_unique<ReaderService>(
        std::make_unique<FolderLibrary>(root, systemProbes(), networkAccessAllowed, headersBy));
  };
  setup.serve = [served](std::string_view request, reader::Replier& reply) { (*served)->serve(request, reply); };
  return reader::Process::start(std::move(setup));
}

}  // namespace photolibrary
