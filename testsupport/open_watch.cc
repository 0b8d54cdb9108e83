#include "testsupport/open_watch.h"

#include <unistd.h>

namespace testsupport {

OpenWatch::OpenWatch(const std::string& dir, std::uint32_t events) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  if (fd_ >= 0 && inotify_add_watch(fd_, dir.c_str(), events) < 0) {
    close(fd_);
    fd_ = -1;
  }
}

OpenWatch::~OpenWatch() {
  if (fd_ >= 0) close(fd_);
}

std::vector<std::string> OpenWatch::touched() {
  std::vector<std::string> names;
  alignas(inotify_event) char buffer[8192];
  ssize_t n;
  while (fd_ >= 0 && (n = read(fd_, buffer, sizeof buffer)) > 0) {
    for (char* p = buffer; p < buffer + n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(p);
      if (event->len == 0) names.push_back(".");
      else names.push_back(std::string(event->name) + ((event->mask & IN_ISDIR) ? "/" : ""));
      p += sizeof(inotify_event) + event->len;
    }
  }
  return names;
}

std::set<std::string> OpenWatch::filesTouched() {
  std::set<std::string> files;
  for (const std::string& name : touched())
    if (name != "." && name.back() != '/') files.insert(name);
  return files;
}

}  // namespace testsupport
