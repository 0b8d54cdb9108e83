#include "photolibrary/fake_photo_library.h"

#include <algorithm>
#include <thread>

namespace photolibrary {

FakePhotoLibrary::~FakePhotoLibrary() {
  releaseBlockedRequests();
  std::unique_lock<std::mutex> g(mu_);
  released_.wait(g, [&] { return blocked_ == 0; });
}

void FakePhotoLibrary::releaseBlockedRequests() {
  std::lock_guard<std::mutex> g(mu_);
  releasedAll_ = true;
  released_.notify_all();
}

int FakePhotoLibrary::requestCount(const std::string& id) const {
  std::lock_guard<std::mutex> g(mu_);
  auto it = requests_.find(id);
  return it == requests_.end() ? 0 : it->second;
}

std::optional<bool> FakePhotoLibrary::lastNetworkAccess(const std::string& id) const {
  std::lock_guard<std::mutex> g(mu_);
  auto it = network_.find(id);
  if (it == network_.end()) return std::nullopt;
  return it->second;
}

void FakePhotoLibrary::requestAuthorization(std::function<void(AuthorizationStatus)> done) {
  ++authRequests_;
  if (!auth_.status) return;
  AuthorizationStatus status = *auth_.status;
  if (auth_.onOtherThread) {
    std::thread([done = std::move(done), status] { done(status); }).detach();
  } else {
    done(status);
  }
}

const FakePhotoLibrary::Entry* FakePhotoLibrary::find(const std::string& id) const {
  for (const auto& e : entries_)
    if (e.asset.localIdentifier == id) return &e;
  return nullptr;
}

std::vector<Asset> FakePhotoLibrary::fetchAssets(MediaType type, const FetchOptions& options) {
  std::vector<Asset> out;
  for (const auto& e : entries_)
    if (e.asset.mediaType == type && (options.includeHidden || !e.asset.hidden)) out.push_back(e.asset);
  if (options.newestFirst) {
    std::stable_sort(out.begin(), out.end(), [](const Asset& a, const Asset& b) {
      double da = a.creationDate.value_or(0), db = b.creationDate.value_or(0);
      if (da != db) return da > db;
      return a.localIdentifier < b.localIdentifier;
    });
  }
  return out;
}

std::int64_t FakePhotoLibrary::countAssets(const FetchOptions& options) {
  return std::count_if(entries_.begin(), entries_.end(),
                       [&](const Entry& e) { return options.includeHidden || !e.asset.hidden; });
}

std::vector<Asset> FakePhotoLibrary::fetchAssetsWithLocalIdentifiers(std::span<const std::string> identifiers) {
  ++identifierFetches_;
  std::vector<Asset> out;
  for (const auto& e : entries_)
    if (std::find(identifiers.begin(), identifiers.end(), e.asset.localIdentifier) != identifiers.end())
      out.push_back(e.asset);
  return out;
}

std::vector<AssetResource> FakePhotoLibrary::assetResources(const Asset& asset) {
  const Entry* e = find(asset.localIdentifier);
  return e ? e->resources : std::vector<AssetResource>{};
}

void FakePhotoLibrary::requestImageData(const Asset& asset, const ImageRequestOptions& options,
                                        const ImageResultHandler& handler) {
  const Entry* e = find(asset.localIdentifier);
  {
    std::lock_guard<std::mutex> g(mu_);
    ++requests_[asset.localIdentifier];
    network_[asset.localIdentifier] = options.networkAccessAllowed;
  }
  if (!e) {
    ImageResultInfo info;
    info.hasError = true;
    handler(nullptr, &info);
    return;
  }
  const Response& r = e->response;
  if (options.networkAccessAllowed && options.progressHandler) {
    for (int k = 0; k < r.progressCalls; ++k) {
      // Progress arrives on a library thread, not the caller's.
      std::thread(options.progressHandler).join();
    }
  }
  if (r.delay.count() > 0) std::this_thread::sleep_for(r.delay);
  if (r.neverReturns) {
    std::unique_lock<std::mutex> g(mu_);
    ++blocked_;
    released_.wait(g, [&] { return releasedAll_; });
    --blocked_;
    released_.notify_all();
    return;
  }
  if (!r.callsHandler) return;
  handler(r.data ? &*r.data : nullptr, r.info ? &*r.info : nullptr);
}

}  // namespace photolibrary
