// A scripted in-memory photo library for tests: every asset carries the
// answer its image request will give, including answers the folder library
// never gives (degraded, cancelled, a request that never returns).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "photolibrary/photo_library.h"

namespace photolibrary {

class FakePhotoLibrary : public PhotoLibrary {
 public:
  // What one image request of an asset answers.
  struct Response {
    std::optional<std::vector<std::uint8_t>> data;  // none: the handler gets nullptr
    std::optional<ImageResultInfo> info;            // none: the handler gets nullptr
    bool callsHandler = true;                       // false: returns without calling it
    bool neverReturns = false;                      // blocks until releaseBlockedRequests()
    int progressCalls = 0;                          // progress handler calls, when network is allowed
    std::chrono::microseconds delay{0};             // real time spent before answering
  };

  struct Entry {
    Asset asset;
    std::vector<AssetResource> resources;
    Response response;
  };

  // How the access request is answered.
  struct AuthorizationScript {
    std::optional<AuthorizationStatus> status = AuthorizationStatus::kAuthorized;  // none: never answers
    bool onOtherThread = true;  // answer from a detached thread, after the request has returned
  };

  FakePhotoLibrary() = default;
  ~FakePhotoLibrary() override;

  void setAuthorization(AuthorizationScript script) { auth_ = script; }
  void add(Entry entry) { entries_.push_back(std::move(entry)); }

  // Lets every request that "never returns" come back without calling its
  // handler. Tests call it before the library is destroyed.
  void releaseBlockedRequests();

  // How many image requests were made for an identifier, and with which
  // network setting the last one was made.
  int requestCount(const std::string& id) const;
  std::optional<bool> lastNetworkAccess(const std::string& id) const;
  int authorizationRequests() const { return authRequests_.load(); }
  int identifierFetches() const { return identifierFetches_.load(); }

  void requestAuthorization(std::function<void(AuthorizationStatus)> done) override;
  std::vector<Asset> fetchAssets(MediaType type, const FetchOptions& options) override;
  std::int64_t countAssets(const FetchOptions& options) override;
  std::vector<Asset> fetchAssetsWithLocalIdentifiers(std::span<const std::string> identifiers) override;
  std::vector<AssetResource> assetResources(const Asset& asset) override;
  void requestImageData(const Asset& asset, const ImageRequestOptions& options,
                        const ImageResultHandler& handler) override;

 private:
  const Entry* find(const std::string& id) const;

  std::vector<Entry> entries_;  // fixed before the first request
  AuthorizationScript auth_;
  std::atomic<int> authRequests_{0};
  std::atomic<int> identifierFetches_{0};

  mutable std::mutex mu_;
  std::condition_variable released_;
  bool releasedAll_ = false;
  int blocked_ = 0;
  std::map<std::string, int> requests_;
  std::map<std::string, bool> network_;
};

}  // namespace photolibrary
