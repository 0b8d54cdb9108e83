// Helpers of photodupes' end-to-end tests: a photo library made from corpus
// photos with known duplicates, running the built program, reading the
// catalog back.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "photodupes/catalog.h"
#include "testsupport/images.h"
#include "testsupport/subprocess.h"

namespace photodupes::e2e {

using GroupSet = std::set<std::set<std::string>>;  // groups of paths relative to the library

// Fills `dir` with copies and edited copies of corpus photos: exact byte
// copies, resized, re-encoded and lightly cropped copies, and photos with no
// duplicate. Returns the groups it made; empty when the corpus is absent.
GroupSet makeLibrary(const std::string& dir);

// Runs photodupes with `args` and the environment a test needs: its own
// XDG_STATE_HOME and the programs under test.
testsupport::ProcessResult photodupes(const std::vector<std::string>& args, const std::string& stateHome,
                                      const std::vector<std::string>& extraEnv = {});

// The groups of a `groups --json` or `files --json` output, relative to `root`.
GroupSet groupsOf(const std::string& jsonText, const std::string& root);

// Every row of the photos table (without the run that saw it), one text per photo.
std::vector<std::string> catalogRows(const std::string& catalogFile, const std::string& kind,
                                     const std::string& source);

// The original path a .trashinfo names, percent-decoded; nothing when the
// text is not a valid .trashinfo (its header, Path= and an ISO date).
std::optional<std::string> trashInfoPath(const std::string& text);

// Writes an executable shell script.
void writeScript(const std::string& path, const std::string& body);

}  // namespace photodupes::e2e
