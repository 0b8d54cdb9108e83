#include "albumsweep/scan_pipeline.h"

#include <unistd.h>

#include <algorithm>
#include <thread>

namespace albumsweep {

std::unique_ptr<DecodeGate> DecodeGate::forMachine() {
  int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
  std::uint64_t memory = pages > 0 && pageSize > 0 ? static_cast<std::uint64_t>(pages) * pageSize : 4ull << 30;
  return std::make_unique<DecodeGate>(cores, memory / 4);
}

std::uint64_t DecodeGate::costOf(const photolibrary::Asset& asset, std::int64_t bytes) {
  // Decoded planes plus 8-bit RGB(A): about 6 bytes a pixel at the peak.
  constexpr std::uint64_t kBytesPerPixel = 6;
  auto w = static_cast<std::uint64_t>(std::max<std::int64_t>(asset.pixelWidth, 0));
  auto h = static_cast<std::uint64_t>(std::max<std::int64_t>(asset.pixelHeight, 0));
  return static_cast<std::uint64_t>(std::max<std::int64_t>(bytes, 0)) + w * h * kBytesPerPixel;
}

void DecodeGate::acquire(std::uint64_t cost) {
  std::unique_lock<std::mutex> g(mu_);
  freed_.wait(g, [&] { return freeSlots_ > 0 && (running_ == 0 || used_ + cost <= budget_); });
  --freeSlots_;
  ++running_;
  used_ += cost;
}

void DecodeGate::release(std::uint64_t cost) {
  std::lock_guard<std::mutex> g(mu_);
  ++freeSlots_;
  --running_;
  used_ -= cost;
  freed_.notify_all();
}

std::optional<std::int64_t> ScanTurns::claimLocked(std::unique_lock<std::mutex>& g) {
  windowMoved_.wait(g, [&] { return abandoned_ || nextRequest_ >= planned_ || nextRequest_ < nextWrite_ + window_; });
  if (abandoned_ || nextRequest_ >= planned_) {
    requestHeld_ = false;
    requestFree_.notify_one();
    return std::nullopt;
  }
  return nextRequest_++;
}

std::optional<std::int64_t> ScanTurns::claim() {
  std::unique_lock<std::mutex> g(mu_);
  requestFree_.wait(g, [&] { return abandoned_ || !requestHeld_; });
  requestHeld_ = true;
  return claimLocked(g);
}

std::optional<std::int64_t> ScanTurns::claimNext() {
  std::unique_lock<std::mutex> g(mu_);
  return claimLocked(g);
}

void ScanTurns::requestDone() {
  std::lock_guard<std::mutex> g(mu_);
  requestHeld_ = false;
  requestFree_.notify_one();
}

bool ScanTurns::finished(std::int64_t i) {
  std::lock_guard<std::mutex> g(mu_);
  if (abandoned_) return false;
  if (!writing_ && nextWrite_ == i) {
    writing_ = true;
    return true;
  }
  ready_.insert(i);
  return false;
}

std::optional<std::int64_t> ScanTurns::written(std::int64_t i) {
  std::lock_guard<std::mutex> g(mu_);
  nextWrite_ = i + 1;
  windowMoved_.notify_all();
  if (!abandoned_ && ready_.erase(nextWrite_) > 0) return nextWrite_;
  writing_ = false;
  return std::nullopt;
}

void ScanTurns::abandon() {
  std::lock_guard<std::mutex> g(mu_);
  abandoned_ = true;
  requestFree_.notify_all();
  windowMoved_.notify_all();
}

}  // namespace albumsweep
