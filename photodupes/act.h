// Acting on the groups: what `groups`, `report`, `trash`, `undo` and the
// review page share. The groups are always found again from the catalog,
// with the user's decisions and without the files in the Trash, and every
// file is checked again right before it moves.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "photodupes/catalog.h"
#include "photodupes/current_groups.h"
#include "photodupes/decisions.h"
#include "photodupes/grouping.h"
#include "photodupes/trash.h"

namespace photodupes {

// The library a catalog describes, and how its pairs are measured.
struct LibraryContext {
  std::string root;        // the library folder
  std::string albumsweep;  // the measuring program
  int radius = kDefaultRadius;
  float threshold = kNearPrintThreshold;
};

// The groups as the files stand now, with the user's decisions applied;
// photos moved to the Trash by photodupes are left out. `stat` (statFile
// unless a test's) tells how the files stand.
struct DecidedGroups {
  std::vector<Photo> photos;  // groups' members index into these
  CurrentGroups current;      // current.groups: the groups; current.changed: photos left out as changed
  Decisions decisions;
};
DecidedGroups decidedGroups(Catalog& catalog, const LibraryContext& library, bool withThumbs,
                            const StatFn& stat = {});

// The same groups, kept by a process between changes of the catalog (the
// review page), so that a decision costs little: `found` holds the groups
// before chosen keepers and reference folders are applied (they depend only
// on the photos, the files' stats and the pairs called not duplicates), and
// `seen` the stat of every file checked, by path. `groups` is what
// decidedGroups gives: `found` with `decisions` applied.
struct KeptGroups {
  std::vector<Photo> photos;
  Decisions decisions;
  CurrentGroups found;
  std::map<std::string, std::optional<FileStat>> seen;
  std::vector<Group> groups;
};
KeptGroups keptGroups(Catalog& catalog, const LibraryContext& library, const StatFn& stat = {});
// The user's decisions read again from `catalog` after they changed: the
// chosen keepers and reference folders are applied to `found` again (no
// file is looked at); when the pairs called not duplicates changed, the
// groups are found again from the same photos with the stats seen (a file
// not checked before is checked now with `stat`) and the distances the
// catalog holds.
void redecide(KeptGroups& kept, Catalog& catalog, const LibraryContext& library, const StatFn& stat = {});

// Stores the reference folders given on a command line or by the page
// (each resolved with referenceFolder); throws std::runtime_error naming a
// folder outside the library. An empty list with `clear` forgets them.
void rememberKeepIn(Catalog& catalog, const std::string& root, const std::vector<std::string>& dirs, bool clear);

// One file's outcome.
struct FileOutcome {
  std::string path;
  std::int64_t row = 0;   // catalog number of the photo (0 for a raw or video moved with it)
  std::int64_t bytes = 0;
  std::string state;      // trash: "moved", "skipped", "would move" (dry run);
                          // undo: "restored", "refused", "emptied"
  std::string reason;     // why skipped or refused
  std::string trashFile;  // where it went or comes from
};

struct ActOutcome {
  std::int64_t batch = 0;  // 0 for a dry run, or when nothing was planned
  std::vector<FileOutcome> files;
  std::size_t done = 0, skipped = 0;  // moved (would move) or restored; skipped or refused
  std::int64_t bytes = 0;             // bytes of the files done
};

// Called after each file: files handled so far, of `total`.
using Progress = std::function<void(std::size_t handled, std::size_t total)>;

// Moves the not-kept members of the current groups (decidedGroups) to the
// Trash, each after checking it and its group again (see act.cc). Needs the
// catalog open for writing. A dry run checks everything and moves nothing.
ActOutcome moveToTrash(Catalog& catalog, const LibraryContext& library, TrashEnv& env, bool dryRun,
                       const Progress& progress = {});

// Puts the files of a batch (the newest one with files in the Trash when
// none is named) back where they were.
ActOutcome undoBatch(Catalog& catalog, const LibraryContext& library, TrashEnv& env,
                     std::optional<std::int64_t> batch, const Progress& progress = {});

// Settles what a run killed half-way left "planned": a file still at its
// place is "abandoned" (its .trashinfo removed), one in the Trash "moved".
void settleJournal(Catalog& catalog, TrashEnv& env);

}  // namespace photodupes
