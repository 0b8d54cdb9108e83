// `photodupes files DIR...`: duplicates among arbitrary folders of image
// files, for photos outside a library folder or in a read-only one. Files
// are fingerprinted through one `twinspot hashthumb` run (difference hash, pixel
// size and a thumbnail, from one reading of each file) plus their own
// SHA-256 for exact duplicates; the set of folders has a catalog of its own,
// so unchanged files (the same whole stat) are not read again. A file's capture date
// here is its modification time.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "photodupes/output.h"

namespace photodupes {

struct FilesRequest {
  std::vector<std::string> folders;  // absolute
  std::string twinspot, albumsweep;  // the programs to run
  std::optional<std::string> catalogFile;
  int radius = 0;
  Format format = Format::kText;
  bool zero = false;
  bool verbose = false;  // list every file that could not be read
  std::optional<std::string> reportFile;  // write the report instead of printing
};

// Returns the exit status (see scan.h); errors go to `err`.
int runFiles(const FilesRequest& request, std::FILE* out, std::FILE* err);

}  // namespace photodupes
