// Watches one folder through inotify, so a test can show that a program
// opened (or read) nothing in it: for example that identifiers naming files
// outside a photo library never reach those files.
#pragma once

#include <sys/inotify.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace testsupport {

class OpenWatch {
 public:
  explicit OpenWatch(const std::string& dir, std::uint32_t events = IN_OPEN | IN_ACCESS);
  ~OpenWatch();
  OpenWatch(const OpenWatch&) = delete;
  OpenWatch& operator=(const OpenWatch&) = delete;

  bool ready() const { return fd_ >= 0; }

  // What was touched since the watch began or the last call, in order: an
  // entry's name, a folder's name followed by "/", and "." for the watched
  // folder itself.
  std::vector<std::string> touched();

  // The files (not folders) among touched(), by name.
  std::set<std::string> filesTouched();

 private:
  int fd_ = -1;
};

}  // namespace testsupport
