#include "albumsweep/scan_output.h"

namespace albumsweep {

ScanOutput::ScanOutput(std::FILE* out, timing::Clock& clock, std::int64_t planned, timing::Seconds heartbeatInterval)
    : out_(out), clock_(clock), planned_(planned), heartbeatInterval_(heartbeatInterval),
      lastHeartbeatAt_(clock.now()) {}

void ScanOutput::writeLocked(const jsonlines::Record& record) {
  if (closed_ || jsonlines::emit(record, out_)) return;
  closed_ = true;
  writeFailed_ = true;
}

void ScanOutput::emitLocked(const jsonlines::Record& record) {
  std::lock_guard<std::mutex> io(ioLock_);
  writeLocked(record);
}

void ScanOutput::writeProgressLocked() { writeLocked({{"progress", finished_}, {"of", planned_}}); }

void ScanOutput::finishOne() {
  std::lock_guard<std::mutex> io(ioLock_);
  ++finished_;
  if (finished_ % 10 == 0 || finished_ == planned_) writeProgressLocked();
}

void ScanOutput::heartbeatTick() {
  {
    std::lock_guard<std::mutex> hb(hbLock_);
    timing::Seconds elapsed = clock_.now() - lastHeartbeatAt_;
    if (elapsed < heartbeatInterval_) return;
    lastHeartbeatAt_ = clock_.now();
  }
  std::lock_guard<std::mutex> io(ioLock_);
  writeProgressLocked();
}

std::int64_t ScanOutput::closeAndCount() {
  std::lock_guard<std::mutex> io(ioLock_);
  closed_ = true;
  return finished_;
}

bool ScanOutput::emitClosing(const jsonlines::Record& record) {
  std::lock_guard<std::mutex> io(ioLock_);
  return jsonlines::emit(record, out_) && std::fflush(out_) == 0;
}

}  // namespace albumsweep
