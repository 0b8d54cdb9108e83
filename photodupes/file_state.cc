#include "photodupes/file_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdlib>

namespace photodupes {

std::optional<FileStat> statFile(const std::string& path) {
  struct stat st;
  if (path.find('\0') != std::string::npos || fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(st.st_mode))
    return std::nullopt;
  auto ns = [](const timespec& t) { return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; };
  return FileStat{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                  static_cast<std::int64_t>(st.st_size), ns(st.st_mtim), ns(st.st_ctim)};
}

std::int64_t fileClockNs() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME_COARSE, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

std::int64_t modMillis(const FileStat& s) {
  // Floor division: times before 1970 are negative.
  std::int64_t ms = s.mtimeNs / 1000000;
  if (s.mtimeNs % 1000000 < 0) --ms;
  return ms;
}

bool readWhileUnchanged(const std::optional<FileStat>& before, const FileStat& now, std::int64_t bytes,
                        std::int64_t mod, std::int64_t startedNs) {
  if (now.size != bytes || std::llabs(modMillis(now) - mod) > 1) return false;
  return unchangedWhileRead(before, now, startedNs);
}

bool unchangedWhileRead(const std::optional<FileStat>& before, const FileStat& now, std::int64_t startedNs) {
  if (before) return *before == now;
  return now.ctimeNs < startedNs;
}

bool unchangedSince(const Photo& photo, const std::optional<FileStat>& now) {
  if (!now) return false;
  if (photo.stat) return *photo.stat == *now;
  return now->size == photo.bytes && std::llabs(modMillis(*now) - photo.mod) <= 1;
}

}  // namespace photodupes
