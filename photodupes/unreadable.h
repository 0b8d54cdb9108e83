// The files a run could not read, counted by reason, for one line at the
// end of the run (and, when asked, one line per file).
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace photodupes {

class Unreadable {
 public:
  void note(const std::string& path, const std::string& reason);
  // "photodupes: 3 files could not be read (2 decode_failed, 1 read_failed)
  // and are left out; <how> lists them." on `err`, or with `verbose` one
  // line per file; nothing when every file was read.
  void report(std::FILE* err, bool verbose, const std::string& how) const;
  std::size_t count() const { return files_.size(); }

 private:
  std::map<std::string, int> byReason_;
  std::vector<std::pair<std::string, std::string>> files_;
};

// A file name made safe for a terminal: bytes that are not UTF-8 as U+FFFD,
// control characters as \xNN (a name cannot recolour the terminal or start
// a new line).
std::string printable(const std::string& name);

}  // namespace photodupes
