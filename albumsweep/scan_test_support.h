// Helpers of the scan tests: captured output, a hand-moved clock, sample
// image bytes and a library wrapper that runs test code inside requests.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "timing/clock.h"
#include "photolibrary/fake_photo_library.h"

namespace albumsweep::testing {

// A temporary file to pass as the output stream; read back after the run.
class CapturedOutput {
 public:
  CapturedOutput();
  ~CapturedOutput();
  std::FILE* file() { return file_; }
  std::string text();                 // everything written so far
  std::vector<nlohmann::json> lines();  // every line parsed (failing the test on a torn line)
  // Lines written so far; safe while other threads write (the stream is
  // line-buffered and this reads the file without moving the stream).
  std::size_t linesSoFar();

 private:
  std::FILE* file_;
};

// An output stream that takes `goodLines` lines and then fails every write
// with ENOSPC, as a full disk does. Line-buffered, like standard output.
class FailingOutput {
 public:
  explicit FailingOutput(int goodLines);
  ~FailingOutput();
  std::FILE* file() { return file_; }
  const std::string& text() const { return written_; }  // what got through

 private:
  static ssize_t write(void* self, const char* data, std::size_t size);
  const int goodLines_;
  int lines_ = 0;
  std::string written_;
  std::FILE* file_;
};

// A clock that moves only by advance(); sleepFor() really sleeps a little
// (so poll loops yield to the workers) but does not move the time.
class ManualClock : public timing::Clock {
 public:
  explicit ManualClock(timing::WallTime start = timing::WallTime{} + std::chrono::hours(24 * 365 * 50))
      : clock_(start) {}
  timing::WallTime now() override { return clock_.now(); }
  void sleepFor(timing::Seconds) override;
  void advance(timing::Seconds d) { clock_.advance(d); }

 private:
  timing::FakeClock clock_;
};

// A small JPEG of the scene pattern (different sizes give different bytes).
std::vector<std::uint8_t> sampleJpeg(int width = 64, int height = 48);

// A fake library entry of an image with data, created `created` seconds
// after 1970.
photolibrary::FakePhotoLibrary::Entry imageEntry(const std::string& id, double created, std::vector<std::uint8_t> data);

// Forwards to a FakePhotoLibrary, running the hook registered for an asset
// before its request is forwarded, and counting requests that came back.
class HookedLibrary : public photolibrary::PhotoLibrary {
 public:
  explicit HookedLibrary(photolibrary::FakePhotoLibrary& inner) : inner_(inner) {}
  void onRequest(const std::string& id, std::function<void()> hook) { hooks_[id] = std::move(hook); }
  // Runs `hook` when the bytes of the asset's answer are read (after its
  // request has returned), as a slow or hanging file read would.
  void onRead(const std::string& id, std::function<void()> hook) { readHooks_[id] = std::move(hook); }
  int returned() const { return returned_.load(); }

  void requestAuthorization(std::function<void(photolibrary::AuthorizationStatus)> done) override {
    inner_.requestAuthorization(std::move(done));
  }
  std::vector<photolibrary::Asset> fetchAssets(photolibrary::MediaType t,
                                               const photolibrary::FetchOptions& o) override {
    return inner_.fetchAssets(t, o);
  }
  std::int64_t countAssets(const photolibrary::FetchOptions& o) override { return inner_.countAssets(o); }
  std::vector<photolibrary::Asset> fetchAssetsWithLocalIdentifiers(std::span<const std::string> ids) override {
    return inner_.fetchAssetsWithLocalIdentifiers(ids);
  }
  std::vector<photolibrary::AssetResource> assetResources(const photolibrary::Asset& a) override {
    return inner_.assetResources(a);
  }
  void requestImageData(const photolibrary::Asset& asset, const photolibrary::ImageRequestOptions& options,
                        const photolibrary::ImageResultHandler& handler) override;
  void requestLazyImageData(const photolibrary::Asset& asset, const photolibrary::ImageRequestOptions& options,
                            const photolibrary::LazyImageResultHandler& handler) override;

 private:
  photolibrary::FakePhotoLibrary& inner_;
  std::map<std::string, std::function<void()>> hooks_;      // fixed before the scan starts
  std::map<std::string, std::function<void()>> readHooks_;  // likewise
  std::atomic<int> returned_{0};
};

}  // namespace albumsweep::testing
