#include "albumsweep/scan_test_support.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "testsupport/images.h"
#include "testsupport/subprocess.h"

namespace albumsweep::testing {

CapturedOutput::CapturedOutput() : file_(std::tmpfile()) {
  if (file_) std::setvbuf(file_, nullptr, _IOLBF, 0);
}

std::size_t CapturedOutput::linesSoFar() {
  std::size_t lines = 0;
  char buffer[4096];
  ssize_t n;
  for (off_t at = 0; (n = ::pread(fileno(file_), buffer, sizeof buffer, at)) > 0; at += n)
    lines += static_cast<std::size_t>(std::count(buffer, buffer + n, '\n'));
  return lines;
}

CapturedOutput::~CapturedOutput() {
  if (file_) std::fclose(file_);
}

std::string CapturedOutput::text() {
  std::fflush(file_);
  std::string out;
  std::rewind(file_);
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
  std::fseek(file_, 0, SEEK_END);
  return out;
}

std::vector<nlohmann::json> CapturedOutput::lines() {
  std::string all = text();
  EXPECT_TRUE(all.empty() || all.back() == '\n') << "last line not ended: " << all;
  return testsupport::parseJsonLines(all);
}

FailingOutput::FailingOutput(int goodLines) : goodLines_(goodLines) {
  file_ = fopencookie(this, "w", {nullptr, &FailingOutput::write, nullptr, nullptr});
  if (file_) std::setvbuf(file_, nullptr, _IOLBF, 0);
}

FailingOutput::~FailingOutput() {
  if (file_) std::fclose(file_);
}

ssize_t FailingOutput::write(void* self, const char* data, std::size_t size) {
  auto* out = static_cast<FailingOutput*>(self);
  if (out->lines_ >= out->goodLines_) {
    errno = ENOSPC;
    return -1;
  }
  out->written_.append(data, size);
  out->lines_ += static_cast<int>(std::count(data, data + size, '\n'));
  return static_cast<ssize_t>(size);
}

void ManualClock::sleepFor(timing::Seconds) { std::this_thread::sleep_for(std::chrono::microseconds(200)); }

std::vector<std::uint8_t> sampleJpeg(int width, int height) {
  testsupport::Picture picture;
  picture.width = width;
  picture.height = height;
  auto bytes = testsupport::encodeImage(picture, ".jpg");
  EXPECT_TRUE(bytes) << "cannot make a sample JPEG";
  return bytes.value_or(std::vector<std::uint8_t>{});
}

photolibrary::FakePhotoLibrary::Entry imageEntry(const std::string& id, double created,
                                                 std::vector<std::uint8_t> data) {
  photolibrary::FakePhotoLibrary::Entry e;
  e.asset.localIdentifier = id;
  e.asset.creationDate = created;
  e.asset.modificationDate = created + 1;
  e.asset.pixelWidth = 64;
  e.asset.pixelHeight = 48;
  e.resources = {{photolibrary::kResourcePhoto, id}};
  e.response.data = std::move(data);
  e.response.info = photolibrary::ImageResultInfo{};
  return e;
}

void HookedLibrary::requestImageData(const photolibrary::Asset& asset, const photolibrary::ImageRequestOptions& options,
                                     const photolibrary::ImageResultHandler& handler) {
  auto hook = hooks_.find(asset.localIdentifier);
  if (hook != hooks_.end()) hook->second();
  inner_.requestImageData(asset, options, handler);
  ++returned_;
}

namespace {

// Answer bytes whose first read runs a hook first.
class HookedData : public photolibrary::ImageData {
 public:
  HookedData(std::shared_ptr<photolibrary::ImageData> inner, std::function<void()> hook)
      : inner_(std::move(inner)), hook_(std::move(hook)) {}
  std::int64_t size() const override { return inner_->size(); }
  std::optional<std::span<const std::uint8_t>> bytes() override {
    if (hook_) std::exchange(hook_, nullptr)();
    return inner_->bytes();
  }

 private:
  std::shared_ptr<photolibrary::ImageData> inner_;
  std::function<void()> hook_;
};

}  // namespace

void HookedLibrary::requestLazyImageData(const photolibrary::Asset& asset,
                                         const photolibrary::ImageRequestOptions& options,
                                         const photolibrary::LazyImageResultHandler& handler) {
  auto hook = readHooks_.find(asset.localIdentifier);
  if (hook == readHooks_.end()) return PhotoLibrary::requestLazyImageData(asset, options, handler);
  PhotoLibrary::requestLazyImageData(
      asset, options, [&](std::shared_ptr<photolibrary::ImageData> data, const photolibrary::ImageResultInfo* info) {
        handler(data ? std::make_shared<HookedData>(std::move(data), hook->second) : nullptr, info);
      });
}

}  // namespace albumsweep::testing
