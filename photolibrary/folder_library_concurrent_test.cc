// The folder library used from many threads at once, as the scan's eight
// workers use it.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "photolibrary/folder_library.h"
#include "testsupport/images.h"

namespace photolibrary {
namespace {

TEST(FolderLibraryConcurrent, EightThreadsRequestAndFetchAtOnce) {
  // The files are written without libvips, whose own pixel threads
  // ThreadSanitizer cannot see into: a small camera JPEG from the corpus
  // when it is there (so that headers are really read), else plain bytes.
  std::string seed = "not a picture";
  if (std::ifstream in(std::string(CORPUS_DIR) + "/cameras/Canon_40D.jpg", std::ios::binary); in)
    seed.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  testsupport::TempDir dir;
  std::filesystem::create_directories(dir.path() + "/sub");
  std::vector<std::string> ids;
  std::vector<std::vector<std::uint8_t>> want;
  for (int k = 0; k < 24; ++k) {
    std::string name = (k % 3 == 0 ? "sub/" : "") + std::to_string(k) + ".jpg";
    std::string bytes = seed + std::string(static_cast<std::size_t>(k), 'x');  // after the end of the JPEG
    ASSERT_TRUE(testsupport::writeBytes(dir.path() + "/" + name, bytes));
    ids.push_back(name);
    want.emplace_back(bytes.begin(), bytes.end());
  }
  auto lib = openFolderLibrary(dir.path());
  std::atomic<int> mismatches{0}, requests{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      // The first fetch walks the tree; the others must wait for that one walk.
      if (lib->fetchAssets(MediaType::kImage, {true, false}).size() != ids.size()) ++mismatches;
      if (lib->countAssets({}) != static_cast<std::int64_t>(ids.size())) ++mismatches;
      for (int round = 0; round < 3; ++round) {
        for (std::size_t j = 0; j < 12; ++j) {
          std::size_t k = (t * 3 + j) % ids.size();
          Asset a;
          a.localIdentifier = ids[k];
          ImageRequestOptions opts;
          lib->requestImageData(a, opts, [&](const std::vector<std::uint8_t>* d, const ImageResultInfo*) {
            ++requests;
            if (d == nullptr || *d != want[k]) ++mismatches;
          });
          if (lib->assetResources(a).size() != 1) ++mismatches;
        }
        std::vector<std::string> some(ids.begin() + t, ids.begin() + t + 8);
        if (lib->fetchAssetsWithLocalIdentifiers(some).size() != some.size()) ++mismatches;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(requests.load(), 8 * 3 * 12);
}

}  // namespace
}  // namespace photolibrary
