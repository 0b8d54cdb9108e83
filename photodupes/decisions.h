// What the user decided about the groups, kept in the catalog between runs
// and applied every time the groups are found again.
//
// - "Not duplicates" is a pair of contents (SHA-256s): the pair is never
//   confirmed again, whatever the files are called; a file whose bytes
//   change is a new content and so a new question. A pair of one content
//   with itself means its byte-identical copies are not to be grouped.
// - A chosen keeper or a member kept besides is a photo (catalog id) with
//   the content it had when chosen: the choice lapses when the file changes.
// - Reference folders are folders of the library (relative to its root,
//   "" being the root) whose files are always kept and never moved.
#pragma once

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace photodupes {

struct Photo;
struct Group;

enum class Choice {
  kNone,    // what the grouping suggests
  kKeeper,  // the group's keeper, in place of the suggested one
  kKeep,    // kept besides the keeper
};

struct Decisions {
  std::set<std::pair<std::string, std::string>> notDuplicates;  // SHA-256 pairs, smaller first
  std::map<std::string, std::pair<Choice, std::string>> choices;  // photo id -> choice and the SHA-256 it was made on
  std::vector<std::string> keepIn;                                // reference folders relative to the root

  bool notDuplicate(const std::string& shaA, const std::string& shaB) const;
  Choice choice(const Photo& photo) const;  // kNone when none, or made on other content
  // The photo's path lies below a reference folder of the library at `root`,
  // component by component ("ref" does not hold "reference/x.jpg").
  bool inReferenceFolder(const std::string& root, const std::string& path) const;
};

// A pair of contents in the order the catalog keeps it.
std::pair<std::string, std::string> shaPair(const std::string& a, const std::string& b);

// The reference folder `dir` names, relative to the library `root`, both
// resolved (links followed) and compared component by component; nothing,
// with `error` set, when it is not an existing folder inside the library.
bool referenceFolder(const std::string& root, const std::string& dir, std::string& relative, std::string& error);

// Applies chosen keepers, members kept besides and reference folders to
// groups found with `decisions` (findGroups has already left the pairs the
// user called not duplicates unconfirmed):
// - a chosen keeper moves to the front and is kept; the suggested keeper is
//   then no longer kept unless chosen, kept, raw or in a reference folder;
// - every member in a reference folder is kept; one byte-identical to the
//   keeper takes the keeper's place when no keeper was chosen (nothing is
//   lost: same bytes);
// - bytes to free are counted again and the groups sorted again.
void applyDecisions(std::vector<Group>& groups, const std::vector<Photo>& photos, const Decisions& decisions,
                    const std::string& root);

}  // namespace photodupes
