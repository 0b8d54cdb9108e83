// photodupes' own look at the library's files during a scan: the stat of
// the photos it knows, and the walk that names the folders not scanned and
// finds a file that does not answer. Each runs in a forked child
// (runForked), so storage that stops answering (a dead network mount, a
// stuck disk) cannot hold photodupes: what does not answer within `quiet`
// is named instead.
#pragma once

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "photodupes/catalog.h"

namespace photodupes {

struct KnownStats {
  std::map<std::string, FileStat> byId;  // by photo identifier; no entry: no regular file, or no answer
  std::vector<std::string> silent;       // paths whose stat did not answer
};

// The stat of each photo's file. When one does not answer within `quiet`,
// the photos in its folder and on its device (as the catalog knows it) get
// none, and the others are asked again; after two such paths the rest get
// none.
KnownStats statKnownFiles(const std::vector<Photo>& photos, std::chrono::milliseconds quiet);

struct Unscanned {
  // Folders relative to the root holding image files not in `seen`, with
  // how many each holds, most first; complete only when `listed`.
  std::vector<std::pair<std::string, int>> folders;
  bool listed = false;
  // A path that did not answer within `quiet`: a folder whose listing
  // blocked, or (with `probe`) a file not scanned whose first byte could
  // not be read; empty when everything answered.
  std::string silent;
  bool silentIsFolder = false;
  bool interrupted = false;  // SIGINT or SIGTERM came
};

// Walks the library for image files whose identifier is not in `seen`,
// then, with `probe`, reads the first byte of each until one does not
// answer. The walk and the probe together take at most 2 × `quiet`; what
// they have not reached by then is not counted.
Unscanned lookForUnscanned(const std::string& root, const std::set<std::string>& seen, bool probe,
                           std::chrono::milliseconds quiet);

}  // namespace photodupes
