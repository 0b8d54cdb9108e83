// Identifiers a host sends ("albumsweep thumb", "simverify", the skip
// manifest) resolved by the folder library against a small fixed tree that
// holds links out of the library, a link within it, a link to a folder, a
// FIFO and names that need escaping. Whatever the identifier, the library
// never answers with a file outside the root or reached through a link:
// every asset it finds is a regular file reached by real folders, and the
// data it reads is exactly the file the identifier names (each file holds
// its own relative path).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_support.h"
#include "photolibrary/folder_library.h"
#include "photolibrary/folder_library_names.h"

namespace {

std::string gTop;   // the temporary folder: outside/ and lib/
std::string gRoot;  // the library root, gTop + "/lib"

void put(const std::string& rel, const std::string& content) {
  std::filesystem::path p = std::filesystem::path(gRoot) / rel;
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
}

void makeTree() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz-library-XXXXXX";
  if (!::mkdtemp(pattern.data())) std::abort();
  gTop = pattern;
  gRoot = gTop + "/lib";
  std::filesystem::create_directories(gTop + "/outside");
  std::ofstream(gTop + "/outside/secret.jpg") << "OUT";
  // Every media file holds "IN:" and its own path below the root.
  for (const char* rel : {"a.jpg", "sub/b.png", "sub/deeper/c.heic", ".hidden/d.jpg", "%41.jpg", "\xff\xfe.jpg",
                          "\xc3\xa9.jpg", "live.jpg", "live.mov", "pair.jpg", "pair.dng", "notes.txt", "UPPER.JPG",
                          "sp ace/x .png", "sub/%2F.gif"})
    put(rel, std::string("IN:") + rel);
  auto link = [](const std::string& target, const std::string& rel) {
    if (::symlink(target.c_str(), (gRoot + "/" + rel).c_str()) != 0) std::abort();
  };
  link("../outside/secret.jpg", "link.jpg");
  link(gTop + "/outside/secret.jpg", "absolute.jpg");
  link("../outside", "linkdir");
  link("../a.jpg", "sub/up.jpg");  // a link that stays inside still is a link
  link(".", "loop");
  link("..", "sub/parent");
  link("missing.jpg", "dangling.jpg");
  if (::mkfifo((gRoot + "/fifo.jpg").c_str(), 0600) != 0) std::abort();
  std::atexit([] { std::filesystem::remove_all(gTop); });
}

photolibrary::FolderLibraryProbes localProbes() {
  photolibrary::FolderLibraryProbes probes;
  probes.storage = [](int, const std::string&, const struct stat&) { return photolibrary::folder::Storage::kLocal; };
  probes.access = [](const std::string&) { return photolibrary::AuthorizationStatus::kAuthorized; };
  return probes;
}

// Walks the path the identifier names one component at a time, as an
// outsider would: true when every folder on the way is a real folder (no
// link) and the last component is a regular file.
bool reachedWithoutLinks(const std::vector<std::string>& parts) {
  std::string path = gRoot;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    path += "/" + parts[k];
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    if (k + 1 < parts.size() ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  makeTree();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (gRoot.empty()) makeTree();
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> ids = fuzz::splitAtZero(input);
  if (ids.size() > 16) ids.resize(16);
  if (ids.size() > 1) ids.push_back(input);  // the whole input, zero bytes and all, as one identifier

  std::unique_ptr<photolibrary::PhotoLibrary> library = photolibrary::openFolderLibrary(gRoot, localProbes());
  for (const photolibrary::Asset& asset : library->fetchAssetsWithLocalIdentifiers(ids)) {
    auto parts = photolibrary::folder::pathFromIdentifier(asset.localIdentifier);
    FUZZ_CHECK(parts.has_value(), "a found asset has a well-formed identifier");
    FUZZ_CHECK(std::find(ids.begin(), ids.end(), asset.localIdentifier) != ids.end(), "only asked-for assets");
    FUZZ_CHECK(reachedWithoutLinks(*parts), "a found asset is a regular file inside the root, reached without links");
  }

  for (const std::string& id : ids) {
    photolibrary::Asset asset;
    asset.localIdentifier = id;
    bool answered = false;
    library->requestImageData(
        asset, {}, [&](const std::vector<std::uint8_t>* bytes, const photolibrary::ImageResultInfo*) {
          answered = true;
          if (!bytes) return;
          auto parts = photolibrary::folder::pathFromIdentifier(id);
          FUZZ_CHECK(parts.has_value(), "data only for a well-formed identifier");
          FUZZ_CHECK(reachedWithoutLinks(*parts), "data only from a regular file reached without links");
          std::string content(bytes->begin(), bytes->end());
          FUZZ_CHECK(content == "IN:" + fuzz::joinedPath(*parts), "the data is the file the identifier names");
        });
    FUZZ_CHECK(answered, "every request is answered");
  }
  return 0;
}
