// The folder photo library.
//
// The library is the folder tree below a root folder. Every regular file
// whose extension names an image, raw image or video format is a media file
// (folder_library_names.h has the lists and the grouping of files with one
// stem into Live Photos and RAW+JPEG pairs). What it decides:
//
// - Access is judged on a detached thread, since stat on a dead network
//   mount can hang: see folder::folderAuthorization.
// - The walk never follows a symbolic link, to a file or a folder; every
//   path below the root is opened with openat2 confined beneath the root
//   with no links (or, where openat2 is not available, one component at a
//   time with O_NOFOLLOW).
//   Special files (FIFOs, sockets, devices) are never assets and never
//   opened. Folders that cannot be opened are passed over, and so is a
//   folder met again below itself (a bind mount loop) and anything deeper
//   than kMaxDepth folders.
// - An entry whose name begins with "." is hidden, and so is everything
//   below a hidden folder. Hidden assets are left out of fetches and counts
//   unless the options include them; asked for by identifier they are found.
// - The walk runs once per library object, on the first fetch or count;
//   every later fetch and count answers from it. Resolving identifiers and
//   reading data always go to the file system: they never wait for a walk.
//   The root folder is opened once per library object (the first time it is
//   needed) and every path is resolved below that folder.
// - Dates: the creation date is the EXIF capture time of an image (read from
//   the header only), else the primary file's modification time; the
//   modification date is always that modification time. Headers of files
//   that are not resident are never read (reading them would fetch them),
//   nor, unless the library was opened with network access allowed, those
//   of files on a network file system (reading them is a download).
//   Raw files give their date where libvips can read their header, and
//   their pixel size from LibRaw (their first image is usually a small
//   preview); 0 where LibRaw cannot read them.
// - Without the "newest first" option, fetches come in the same order as
//   with it: creation date descending, then identifier ascending.
// - Original data is the primary file's bytes. A file on a network file
//   system or not resident is "in the cloud": without network access it is
//   answered in-cloud without being opened; with it, it is read in 1 MiB
//   chunks and the progress handler is called after each chunk, on the
//   requesting thread. A file that cannot be read, is no longer a regular
//   file, or exceeds kMaxOriginalBytes answers with an error and no data.
//   A request for lazy data of a local file answers with the open file and
//   its size (fstat) and reads the bytes only when they are asked for, so a
//   caller that needs just the size reads nothing but metadata; a file that
//   cannot be opened still answers with an error.
//   The library never answers degraded or cancelled. A request reads the
//   file its asset's identifier names, opened inside the root exactly as
//   identifiers are resolved (no links, regular media files only); it does
//   not list the folder again to check that the file is still a primary
//   file, which would cost a folder listing per request.
// - Names in records (originalFilename) show bytes that are not UTF-8 as
//   U+FFFD; identifiers escape them (folder_library_names.h).
//
// Where each step is: the class and its answers here; the walk and its
// header reads in folder_library_walk.cc; a folder's media files and the
// entry of one asset in folder_library_assets.cc; opening and reading data
// in folder_library_data.cc; the requests to the reader process in
// folder_reader_client.cc and their answers there in
// folder_reader_service.cc; the library folder of a run in
// folder_library_root.cc.
#include "photolibrary/folder_library.h"

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <thread>
#include <utility>

#include "photolibrary/folder_library_assets.h"
#include "photolibrary/folder_library_class.h"
#include "photolibrary/folder_library_names.h"
#include "photolibrary/folder_library_walk.h"
#include "photolibrary/folder_reader_client.h"

namespace photolibrary {
namespace folder {
namespace {

// The root itself may be reached through a link (a Pictures folder that
// points elsewhere); nothing below it is.
Fd openRoot(const std::string& root) { return Fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); }

bool newerFirst(const Entry& x, const Entry& y) {
  double cx = x.asset.creationDate.value_or(0), cy = y.asset.creationDate.value_or(0);
  if (cx != cy) return cx > cy;
  return x.asset.localIdentifier < y.asset.localIdentifier;
}

// Hidden assets are listed only when the options ask for them.
bool listed(const Entry& e, const FetchOptions& options) { return options.includeHidden || !e.asset.hidden; }

}  // namespace

FolderLibrary::FolderLibrary(std::string root, FolderLibraryProbes probes, bool networkAccessAllowed,
                             std::optional<std::chrono::system_clock::time_point> headersBy)
    : root_(std::move(root)),
      probes_(std::move(probes)),
      networkAccessAllowed_(networkAccessAllowed),
      headersBy_(headersBy) {}

void FolderLibrary::requestAuthorization(std::function<void(AuthorizationStatus)> done) {
  std::thread([access = probes_.access, root = root_, done = std::move(done)] { done(access(root)); }).detach();
}

std::vector<Asset> FolderLibrary::fetchAssets(MediaType type, const FetchOptions& options) {
  auto wanted = [&](const Entry& e) { return e.asset.mediaType == type && listed(e, options); };
  std::vector<Asset> out;
  // Room for the answer and no more: a scan keeps it for the whole run.
  out.reserve(static_cast<std::size_t>(std::count_if(inventory().begin(), inventory().end(), wanted)));
  for (const Entry& e : inventory())
    if (wanted(e)) out.push_back(e.asset);
  return out;
}

std::int64_t FolderLibrary::countAssets(const FetchOptions& options) {
  return std::count_if(inventory().begin(), inventory().end(), [&](const Entry& e) { return listed(e, options); });
}

std::vector<Asset> FolderLibrary::fetchAssetsWithLocalIdentifiers(std::span<const std::string> identifiers) {
  std::vector<Asset> out;
  if (!probes_.reader || !probes_.hangRisk.any()) {
    fetchHere(identifiers, out);
    return out;
  }
  // Those on storage that can hang are looked up by the reader.
  std::vector<std::string> far, near;
  for (const std::string& id : identifiers) (viaReader(id) ? far : near).push_back(id);
  if (!far.empty()) {
    if (std::optional<std::vector<Entry>> entries = askIdentifiers(*probes_.reader, far)) {
      for (Entry& e : *entries) {
        remember(e);
        out.push_back(std::move(e.asset));
      }
    } else {
      near.insert(near.end(), far.begin(), far.end());
    }
  }
  fetchHere(near, out);
  return out;
}

void FolderLibrary::fetchHere(std::span<const std::string> identifiers, std::vector<Asset>& out) {
  if (identifiers.empty()) return;
  int root = rootFd();
  if (root < 0) return;
  // Identifiers by folder, so that each folder is listed once per call.
  std::map<std::vector<std::string>, std::set<std::string>> byFolder;
  for (const std::string& id : identifiers) {
    auto parts = pathFromIdentifier(id);
    if (!parts) continue;
    std::string leaf = std::move(parts->back());
    parts->pop_back();
    byFolder[*parts].insert(std::move(leaf));
  }
  for (const auto& [parts, leaves] : byFolder) {
    Fd dirFd = openFolderBelow(root, parts, parts.size());
    if (!dirFd.ok()) continue;
    std::string relDir;
    bool hiddenFolder = false;
    for (const std::string& p : parts) {
      relDir = joinPath(relDir, p);
      hiddenFolder = hiddenFolder || isHiddenName(p);
    }
    std::set<std::string> stems;
    for (const std::string& leaf : leaves) stems.insert(stemKey(leaf));
    MediaFiles media = mediaFilesOf(dirFd.get(), listFolder(dirFd.get()), &stems);
    for (const FileGroup& g : groupFolder(media.files)) {
      if (leaves.count(g.primary) == 0) continue;  // only an asset's primary file names it
      Entry e = makeEntry(dirFd.get(), relDir, hiddenFolder, g, media.stats[g.primary], probes_, networkAccessAllowed_);
      remember(e);
      out.push_back(std::move(e.asset));
    }
  }
}

std::vector<AssetResource> FolderLibrary::assetResources(const Asset& asset) {
  {
    std::lock_guard<std::mutex> g(mu_);
    auto it = resources_.empty() ? resources_.end() : resources_.find(asset.localIdentifier);
    if (it != resources_.end()) return it->second;
  }
  if (const Entry* e = walkedEntry(asset.localIdentifier)) return e->resources;
  fetchAssetsWithLocalIdentifiers(std::span<const std::string>(&asset.localIdentifier, 1));
  std::lock_guard<std::mutex> g(mu_);
  auto it = resources_.find(asset.localIdentifier);
  return it == resources_.end() ? std::vector<AssetResource>{} : it->second;
}

void FolderLibrary::requestImageData(const Asset& asset, const ImageRequestOptions& options,
                                     const ImageResultHandler& handler) {
  if (viaReader(asset.localIdentifier)) {
    std::vector<std::uint8_t> data;
    if (std::optional<ReaderOpen> opened = openViaReader(*probes_.reader, asset, options, &data)) {
      if (!opened->hasData) return handler(nullptr, &opened->info);
      if (!opened->readOk) {
        opened->info.hasError = true;
        return handler(nullptr, &opened->info);
      }
      return handler(&data, &opened->info);
    }
  }
  ImageResultInfo info;
  Opened file = openData(asset, options, info);
  if (!file.fd.ok()) return handler(nullptr, &info);
  std::optional<std::vector<std::uint8_t>> data = readAll(file, options);
  if (!data) {
    info.hasError = true;
    return handler(nullptr, &info);
  }
  handler(&*data, &info);
}

// Local files answer with the open file and its size; the bytes are read
// when asked for. Files in the cloud are read in full here, as
// requestImageData reads them (the download and its progress calls belong
// to the request).
void FolderLibrary::requestLazyImageData(const Asset& asset, const ImageRequestOptions& options,
                                         const LazyImageResultHandler& handler) {
  if (viaReader(asset.localIdentifier)) {
    if (std::optional<ReaderOpen> opened = openViaReader(*probes_.reader, asset, options, nullptr)) {
      if (!opened->hasData) return handler(nullptr, &opened->info);
      return handler(readerData(probes_.reader, opened->handle, opened->size), &opened->info);
    }
  }
  ImageResultInfo info;
  Opened file = openData(asset, options, info);
  if (!file.fd.ok()) return handler(nullptr, &info);
  if (file.remote) {
    std::optional<std::vector<std::uint8_t>> data = readAll(file, options);
    if (!data) {
      info.hasError = true;
      return handler(nullptr, &info);
    }
    return handler(std::make_shared<InMemoryImageData>(std::move(*data)), &info);
  }
  handler(std::make_shared<FileData>(std::move(file)), &info);
}

bool FolderLibrary::viaReader(const std::string& id) const {
  if (!probes_.reader || !probes_.hangRisk.any()) return false;
  std::optional<std::vector<std::string>> parts = pathFromIdentifier(id);
  return parts && probes_.hangRisk.covers(*parts, parts->size());
}

int FolderLibrary::rootFd() {
  std::lock_guard<std::mutex> g(rootMu_);
  if (!rootFd_.ok()) rootFd_ = openRoot(root_);
  return rootFd_.get();
}

Opened FolderLibrary::openData(const Asset& asset, const ImageRequestOptions& options, ImageResultInfo& info) {
  info.hasError = true;
  auto parts = pathFromIdentifier(asset.localIdentifier);
  if (!parts || fileKindOf(parts->back()) == FileKind::kOther) return Opened{};
  int root = rootFd();
  if (root < 0) return Opened{};
  return openMediaFile(root, *parts, probes_, options, info);
}

const std::vector<Entry>& FolderLibrary::inventory() {
  std::call_once(walked_, [this] {
    // Where any of the library is on storage that can hang, the reader
    // walks it and reads the headers.
    std::optional<std::vector<Entry>> far;
    if (probes_.reader && probes_.hangRisk.any()) far = askInventory(*probes_.reader);
    if (far) {
      inventory_ = std::move(*far);
    } else {
      int root = rootFd();
      if (root < 0) return;
      inventory_ = walkLibrary(root, probes_, networkAccessAllowed_, headersBy_);
    }
    std::sort(inventory_.begin(), inventory_.end(), newerFirst);
    byIdentifier_.resize(inventory_.size());
    for (std::size_t k = 0; k < inventory_.size(); ++k) byIdentifier_[k] = static_cast<std::uint32_t>(k);
    std::sort(byIdentifier_.begin(), byIdentifier_.end(), [this](std::uint32_t a, std::uint32_t b) {
      return inventory_[a].asset.localIdentifier < inventory_[b].asset.localIdentifier;
    });
    // The walk's answer is now the latest one for the assets it found.
    std::lock_guard<std::mutex> g(mu_);
    if (!resources_.empty())
      for (const Entry& e : inventory_) resources_.erase(e.asset.localIdentifier);
    walkDone_.store(true, std::memory_order_release);
  });
  return inventory_;
}

const Entry* FolderLibrary::walkedEntry(const std::string& id) const {
  if (!walkDone_.load(std::memory_order_acquire)) return nullptr;
  auto it = std::lower_bound(byIdentifier_.begin(), byIdentifier_.end(), id,
                             [this](std::uint32_t k, const std::string& v) {
                               return inventory_[k].asset.localIdentifier < v;
                             });
  if (it == byIdentifier_.end() || inventory_[*it].asset.localIdentifier != id) return nullptr;
  return &inventory_[*it];
}

void FolderLibrary::remember(const Entry& e) {
  std::lock_guard<std::mutex> g(mu_);
  resources_[e.asset.localIdentifier] = e.resources;
}

}  // namespace folder

FolderLibraryProbes systemProbes() {
  FolderLibraryProbes p;
  p.storage = [](int dirFd, const std::string&, const struct stat& st) { return folder::storageOf(dirFd, st); };
  p.access = folder::folderAuthorization;
  return p;
}

std::unique_ptr<PhotoLibrary> openFolderLibrary(const std::string& root, bool networkAccessAllowed) {
  return openFolderLibrary(root, systemProbes(), networkAccessAllowed);
}

std::unique_ptr<PhotoLibrary> openFolderLibrary(const std::string& root, FolderLibraryProbes probes,
                                                bool networkAccessAllowed,
                                                std::optional<std::chrono::system_clock::time_point> headersBy) {
  FolderLibraryProbes real = systemProbes();
  if (!probes.storage) probes.storage = real.storage;
  if (!probes.access) probes.access = real.access;
  return std::make_unique<folder::FolderLibrary>(root, std::move(probes), networkAccessAllowed, headersBy);
}

}  // namespace photolibrary
