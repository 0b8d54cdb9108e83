// The groups as the files stand now, not as they stood at the last scan:
// what `groups`, `report` and anything that lists files to remove print.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "photodupes/catalog.h"
#include "photodupes/grouping.h"

namespace photodupes {

struct CurrentGroups {
  std::vector<Group> groups;
  std::size_t changed = 0;  // photos left out because their file changed or left since the scan
};

using StatFn = std::function<std::optional<FileStat>(const std::string& path)>;

// findGroups, then every member's file checked against the catalog (still
// there, same stat: file_state.h); members that no longer match are left
// out and the groups found again from the photos left, until every member
// of every group matches. So a group whose keeper changed gets a new keeper
// measured against its members, a group of one is no group, and a file
// reached by two paths (its stat learnt here where the catalog lacks it)
// is never listed as a copy of itself. The stats learnt are kept in
// `photos`.
// `decisions` go to findGroups and applyDecisions (with `root`, the
// library's folder, for reference folders).
CurrentGroups currentGroups(std::vector<Photo>& photos, int radius, float threshold, const Verifier& verify,
                            const StatFn& stat, const Decisions& decisions = {}, const std::string& root = "");

// The line for standard error about changed photos (empty when none).
std::string changedNotice(std::size_t changed, const std::string& rescan);

}  // namespace photodupes
