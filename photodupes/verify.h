// Measures near-duplicate candidate pairs with `albumsweep simverify`, and
// keeps the distances in the catalog so that a pair is measured once.
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

// The distance answered for a pair of which one picture has no feature
// print (its file does not decode as a picture): not the same photo.
inline constexpr float kNoPrintDistance = 2.0f;

// A Verifier over `photos` (which must outlive it): the pairs go out as
// star groups around their first photo, and each answer is read back as the
// pair it names. A pair with a photo that cannot be named in the request
// (a name that is not valid UTF-8) is left unmeasured.
Verifier simverifyVerifier(const std::vector<Photo>& photos, const VerifySource& source);

// Who measures: the SHA-256 of the program's executable, so that distances
// measured by another build are measured again. Empty when it cannot be read.
std::string measurerOf(const std::string& program);

// `measure` behind the catalog's table of distances: pairs of contents
// (SHA-256) that `measurer` measured before are answered from the catalog;
// the others are measured and stored, when the catalog can take them. The
// catalog and photos must outlive it; an empty measurer stores nothing.
Verifier cachedVerifier(Catalog& catalog, const std::vector<Photo>& photos, const std::string& measurer,
                        Verifier measure);

}  // namespace photodupes
