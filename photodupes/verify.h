// Confirms near-duplicate candidates with `albumsweep simverify`: each
// group goes out with its keeper first, and the feature-print distance of
// every other member comes back.
#pragma once

#include <string>
#include <vector>

#include "photodupes/catalog.h"
#include "photodupes/grouping.h"

namespace photodupes {

struct VerifySource {
  std::string albumsweep;  // the program to run
  std::string root;        // the library folder (library source)
  // Name the members by file path (simverify --files) instead of library
  // identifier: for folder sets, and for libraries scanned with
  // --allow-cloud whose files the library source would not read.
  bool byPath = false;
};

// A Verifier over `photos` (which must outlive it). Members whose path is
// not valid UTF-8 cannot be named in the request and stay unconfirmed.
Verifier simverifyVerifier(const std::vector<Photo>& photos, const VerifySource& source);

}  // namespace photodupes
