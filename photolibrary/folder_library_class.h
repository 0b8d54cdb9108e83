// The folder library itself, the PhotoLibrary over a folder tree that
// openFolderLibrary returns. Declared here so that the reader process can
// serve requests from one (folder_reader_service.cc); its methods are in
// folder_library.cc, with the rules it follows. Internal to the
// folder_library target.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "photolibrary/folder_library.h"
#include "photolibrary/folder_library_data.h"
#include "photolibrary/folder_library_internal.h"

namespace photolibrary::folder {

class FolderLibrary : public PhotoLibrary {
 public:
  FolderLibrary(std::string root, FolderLibraryProbes probes, bool networkAccessAllowed,
                std::optional<std::chrono::system_clock::time_point> headersBy);

  void requestAuthorization(std::function<void(AuthorizationStatus)> done) override;
  std::vector<Asset> fetchAssets(MediaType type, const FetchOptions& options) override;
  std::int64_t countAssets(const FetchOptions& options) override;
  std::vector<Asset> fetchAssetsWithLocalIdentifiers(std::span<const std::string> identifiers) override;
  std::vector<AssetResource> assetResources(const Asset& asset) override;
  void requestImageData(const Asset& asset, const ImageRequestOptions& options,
                        const ImageResultHandler& handler) override;
  void requestLazyImageData(const Asset& asset, const ImageRequestOptions& options,
                            const LazyImageResultHandler& handler) override;

  // Every asset of the library, hidden ones too, newest first: walked on
  // the first call (by the reader where the storage can hang), the same
  // answer afterwards.
  const std::vector<Entry>& inventory();

 private:
  // The lookup of `identifiers` in this process.
  void fetchHere(std::span<const std::string> identifiers, std::vector<Asset>& out);
  // Whether the asset's file is on storage that can hang and the reader
  // process reads it.
  bool viaReader(const std::string& id) const;
  // The root folder, opened on first use and kept for the library's life:
  // every resolution starts from it. -1 while it cannot be opened (then
  // tried again on the next call).
  int rootFd();
  // Opens the file the asset's identifier names, exactly as identifiers are
  // resolved; fills `info` when there is nothing to read.
  Opened openData(const Asset& asset, const ImageRequestOptions& options, ImageResultInfo& info);
  // The walk's entry of this identifier; null when the walk has not been
  // taken or did not find it. The walk's resources are looked up here
  // rather than copied into resources_: a second copy of every asset's
  // identifier and resources would double what the inventory holds.
  const Entry* walkedEntry(const std::string& id) const;
  void remember(const Entry& e);

  const std::string root_;
  std::mutex rootMu_;
  Fd rootFd_;  // see rootFd()
  const FolderLibraryProbes probes_;
  const bool networkAccessAllowed_;
  const std::optional<std::chrono::system_clock::time_point> headersBy_;
  std::once_flag walked_;
  std::vector<Entry> inventory_;             // written once inside walked_
  std::vector<std::uint32_t> byIdentifier_;  // inventory_ positions by identifier, likewise
  std::atomic<bool> walkDone_{false};        // set once both are written
  std::mutex mu_;
  std::unordered_map<std::string, std::vector<AssetResource>> resources_;
};

}  // namespace photolibrary::folder
