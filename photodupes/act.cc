// Moving the files not kept to the Trash, and back.
//
// Per file, in this order: its checks (below); its .trashinfo created, which
// reserves its name in the Trash; a "planned" journal row naming that place,
// committed; the rename; a "moved" row, committed. Files go in chunks: each
// chunk's .trashinfo files are written out to disk and its planned rows
// commit together before any of its files moves, and its moved rows
// together after, so that a run killed at any point leaves
// every moved file recorded ("planned" rows are settled on the next run by
// looking where the file is).
//
// Before a file moves:
// - it is still the file the catalog describes (whole stat), and an exact
//   copy still has the bytes scanned (SHA-256 computed again);
// - it is not in a reference folder;
// - a file that stays (a kept member of its group) is byte-identical to it
//   or measured under the threshold against it, and that file is present,
//   unchanged since the scan, readable, and not the same file by another
//   path. Kept members never move, so that holds after the whole batch;
// - the raw file or video beside it (one asset) moves with it, only when
//   the file that stays has the same kinds of files beside it.
#include "photodupes/act.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>

#include "photodupes/candidates.h"
#include "photodupes/file_state.h"
#include "photodupes/verify.h"
#include "photolibrary/folder_library_names.h"

namespace photodupes {
namespace {

namespace fs = std::filesystem;
namespace folder = photolibrary::folder;

// Assets whose .trashinfo files are written out and whose journal rows
// commit together: three durable writes per chunk.
constexpr std::size_t kChunk = 256;

Verifier verifierFor(Catalog& catalog, const LibraryContext& library, const std::vector<Photo>& photos) {
  VerifySource source{library.albumsweep, library.root, catalog.meta("allow_cloud") == "1"};
  return cachedVerifier(catalog, photos, measurerOf(library.albumsweep), simverifyVerifier(photos, source));
}

// The other files of the asset whose primary file is at `path` (a raw file,
// a Live Photo's video), by the library's own rule; and their kinds.
// Each folder is listed once per batch (`listed`), its media files by the
// key of their stem: only files sharing a stem can belong to one asset.
using Named = std::vector<std::pair<std::string, folder::FileKind>>;
using Listings = std::map<std::string, std::map<std::string, Named>>;
Named companionsOf(TrashEnv& env, const std::string& path, Listings& listed) {
  const std::string name = fs::path(path).filename().string(), dir = fs::path(path).parent_path().string();
  auto [it, fresh] = listed.try_emplace(dir);
  if (fresh)
    for (const std::string& n : env.namesBeside(path))
      if (auto k = folder::fileKindOf(n); k != folder::FileKind::kOther) it->second[folder::stemKey(n)].emplace_back(n, k);
  Named out;
  auto same = it->second.find(folder::stemKey(name));
  if (same == it->second.end() || same->second.size() < 2) return out;
  for (const folder::FileGroup& g : folder::groupFolder(same->second)) {
    if (g.primary != name) continue;
    for (std::size_t k = 1; k < g.resources.size(); ++k)
      out.emplace_back(dir + "/" + g.resources[k].second, folder::fileKindOf(g.resources[k].second));
  }
  return out;
}

std::set<folder::FileKind> kindsOf(const Named& files) {
  std::set<folder::FileKind> out;
  for (const auto& f : files) out.insert(f.second);
  return out;
}

// One asset on its way to the Trash.
struct Move {
  std::size_t photo = 0;
  std::vector<TrashEntry> files;  // the photo's file first
  std::vector<TrashPlace> places;
};

}  // namespace

namespace {

// The catalog's photos less those photodupes put in the Trash (they leave
// the groups at once), with their thumbnail hashes complete.
std::vector<Photo> groupablePhotos(Catalog& catalog, bool withThumbs, const StatFn& stat) {
  std::vector<Photo> photos = catalog.photos(withThumbs);
  std::set<std::string> trashed;
  for (const TrashEntry& e : catalog.inTrash()) {
    const auto now = stat(e.path);
    if (!e.photoId.empty() && !(now && e.before && now->ino == e.before->ino && now->dev == e.before->dev))
      trashed.insert(e.photoId);
  }
  if (!trashed.empty()) std::erase_if(photos, [&](const Photo& p) { return trashed.count(p.id) > 0; });
  completeThumbHashes(catalog, photos);
  return photos;
}

DecidedGroups decided(Catalog& catalog, const LibraryContext& library, bool withThumbs, const StatFn& stat) {
  DecidedGroups out;
  out.photos = groupablePhotos(catalog, withThumbs, stat);
  out.decisions = catalog.decisions();
  out.current = currentGroups(out.photos, library.radius, library.threshold,
                              verifierFor(catalog, library, out.photos), stat, out.decisions, library.root);
  return out;
}

// kept.found from kept.photos and the pairs of kept.decisions; files are
// looked at only where kept.seen does not know them yet.
void findKept(KeptGroups& kept, Catalog& catalog, const LibraryContext& library, const StatFn& stat) {
  Decisions pairs;
  pairs.notDuplicates = kept.decisions.notDuplicates;
  const StatFn remembered = [&](const std::string& path) {
    auto it = kept.seen.find(path);
    if (it == kept.seen.end()) it = kept.seen.emplace(path, stat(path)).first;
    return it->second;
  };
  kept.found = currentGroups(kept.photos, library.radius, library.threshold,
                             verifierFor(catalog, library, kept.photos), remembered, pairs, library.root);
}

void applyKept(KeptGroups& kept, const std::string& root) {
  kept.groups = kept.found.groups;
  applyDecisions(kept.groups, kept.photos, kept.decisions, root);
}

}  // namespace

DecidedGroups decidedGroups(Catalog& catalog, const LibraryContext& library, bool withThumbs, const StatFn& stat) {
  return decided(catalog, library, withThumbs, stat ? stat : StatFn(statFile));
}

KeptGroups keptGroups(Catalog& catalog, const LibraryContext& library, const StatFn& stat) {
  const StatFn look = stat ? stat : StatFn(statFile);
  KeptGroups kept;
  kept.photos = groupablePhotos(catalog, false, look);
  kept.decisions = catalog.decisions();
  findKept(kept, catalog, library, look);
  applyKept(kept, library.root);
  return kept;
}

void redecide(KeptGroups& kept, Catalog& catalog, const LibraryContext& library, const StatFn& stat) {
  Decisions now = catalog.decisions();
  const bool pairsChanged = now.notDuplicates != kept.decisions.notDuplicates;
  kept.decisions = std::move(now);
  if (pairsChanged) findKept(kept, catalog, library, stat ? stat : StatFn(statFile));
  applyKept(kept, library.root);
}

void rememberKeepIn(Catalog& catalog, const std::string& root, const std::vector<std::string>& dirs, bool clear) {
  std::vector<std::string> folders = clear ? std::vector<std::string>() : catalog.decisions().keepIn;
  for (const std::string& d : dirs) {
    std::string rel, error;
    if (!referenceFolder(root, d, rel, error)) throw std::runtime_error(error);
    if (std::find(folders.begin(), folders.end(), rel) == folders.end()) folders.push_back(rel);
  }
  if (clear || !dirs.empty()) catalog.setKeepIn(folders);
}

void settleJournal(Catalog& catalog, TrashEnv& env) {
  for (TrashEntry e : catalog.inTrash()) {
    if (e.state != "planned") continue;
    const auto there = env.stat(e.trashFile);
    if (there && e.before && there->ino == e.before->ino && there->dev == e.before->dev) {
      e.state = "moved", e.after = there;
    } else {
      // Its .trashinfo is ours to remove, unless another file took the
      // place since (put back by a file manager, then the name reused).
      if (!there) env.release({e.trashFile, e.trashInfo});
      e.state = "abandoned", e.reason = "the run that planned it stopped before moving it";
    }
    catalog.journal(e);
  }
}

namespace {

// A file not kept and what it could stand on: kept members of its group,
// byte-identical or measured against it.
struct Plan {
  std::size_t photo;
  std::vector<std::size_t> anchors;  // kept members, byte-identical ones first
};

struct Plans {
  std::vector<Plan> plans;
  std::map<PhotoPair, float> dist;  // anchor and file measured now, where not yet
  std::string measureError;         // why measuring failed, if it did
};

Plans planAnchors(Catalog& catalog, const LibraryContext& library, const DecidedGroups& d) {
  const std::vector<Photo>& photos = d.photos;
  Plans out;
  std::vector<PhotoPair> ask;
  for (const Group& g : d.current.groups)
    for (const Member& m : g.members) {
      if (m.keep) continue;
      Plan p{m.photo, {}};
      for (const Member& k : g.members)
        if (k.keep) {
          p.anchors.push_back(k.photo);
          if (photos[k.photo].sha != photos[m.photo].sha) ask.emplace_back(k.photo, m.photo);
        }
      std::stable_sort(p.anchors.begin(), p.anchors.end(), [&](std::size_t a, std::size_t b) {
        return (photos[a].sha == photos[m.photo].sha) > (photos[b].sha == photos[m.photo].sha);
      });
      out.plans.push_back(std::move(p));
    }
  if (!ask.empty()) try {
      out.dist = verifierFor(catalog, library, photos)(ask);
    } catch (const std::exception& e) {
      out.measureError = e.what();
    }
  return out;
}

// The checks of one file and its asset, made again just before it moves.
class FileCheck {
 public:
  FileCheck(TrashEnv& env, const LibraryContext& library, const DecidedGroups& d, const Plans& plans)
      : env_(env), library_(library), d_(d), plans_(plans) {}

  // The reason the planned file cannot move, or "" with `move` holding its
  // files as they are now.
  std::string operator()(const Plan& plan, Move& move) {
    const std::vector<Photo>& photos = d_.photos;
    const Photo& p = photos[plan.photo];
    std::optional<FileStat> now;
    if (auto why = unchanged(p, now); !why.empty()) return why;
    if (d_.decisions.inReferenceFolder(library_.root, p.path)) return "it lies in a reference folder";
    const auto companions = companionsOf(env_, p.path, listed_);
    std::string why = "no file that stays is a copy of it or was measured close enough to it";
    bool exactAnchor = false;
    for (std::size_t a : plan.anchors) {
      const Photo& k = photos[a];
      const bool exact = k.sha == p.sha;
      if (!exact) {
        auto it = plans_.dist.find({a, plan.photo});
        if (it == plans_.dist.end() || !(it->second < library_.threshold)) {
          if (!plans_.measureError.empty()) why = "measuring it failed: " + plans_.measureError;
          continue;
        }
      }
      std::optional<FileStat> keptNow;
      if (auto w = unchanged(k, keptNow); !w.empty()) {
        why = "the file it is a copy of, " + k.path + ": " + w;
        continue;
      }
      if (keptNow->dev == now->dev && keptNow->ino == now->ino) {
        why = "the file it is a copy of, " + k.path + ", is the same file by another path";
        continue;
      }
      const auto& keptSha = sha(k.path);
      if (!keptSha || *keptSha != k.sha) {
        why = "the file it is a copy of, " + k.path + ", cannot be read as scanned";
        continue;
      }
      if (!kindsOf(companions).empty() && kindsOf(companionsOf(env_, k.path, listed_)) != kindsOf(companions)) {
        why = "its raw file or video has no counterpart beside " + k.path;
        continue;
      }
      why.clear();
      exactAnchor = exact;
      break;
    }
    if (!why.empty()) return why;
    // An exact copy's bytes are read again: the same as the file that stays.
    if (exactAnchor) {
      const auto& mine = sha(p.path);
      if (!mine || *mine != p.sha) return "its bytes are no longer those scanned";
    }
    TrashEntry e;
    e.photoId = p.id, e.path = p.path, e.before = now, e.bytes = p.bytes;
    move.files.push_back(e);
    for (const auto& [path, kind] : companions) {
      TrashEntry c;
      c.path = path, c.before = env_.stat(path);
      if (!c.before) return "the file " + path + " beside it cannot be read";
      c.bytes = c.before->size;
      move.files.push_back(c);
    }
    return "";
  }

 private:
  // The photo's file as the catalog describes it (read at the start of this
  // run, which holds the catalog's lock throughout); the reason it is not.
  std::string unchanged(const Photo& p, std::optional<FileStat>& now) {
    if (!p.stat) return "the catalog does not know its state: run `photodupes scan`";
    now = env_.stat(p.path);
    if (!now) return "it is no longer there";
    if (!(*now == *p.stat)) return "it changed since the last scan";
    return "";
  }

  // The file's SHA-256 computed again, once per path.
  const std::optional<std::string>& sha(const std::string& path) {
    auto it = shaOf_.find(path);
    if (it == shaOf_.end()) it = shaOf_.emplace(path, env_.sha256(path)).first;
    return it->second;
  }

  TrashEnv& env_;
  const LibraryContext& library_;
  const DecidedGroups& d_;
  const Plans& plans_;
  Listings listed_;
  std::map<std::string, std::optional<std::string>> shaOf_;
};

// The planned files taken to the Trash chunk by chunk, each step journalled.
class TrashRun {
 public:
  TrashRun(Catalog& catalog, const LibraryContext& library, TrashEnv& env, bool dryRun, const Progress& progress,
           const std::vector<Photo>& photos)
      : catalog_(catalog), library_(library), env_(env), dryRun_(dryRun), progress_(progress), photos_(photos) {}

  ActOutcome run(const std::vector<Plan>& plans, FileCheck& check) {
    total_ = plans.size();
    for (std::size_t from = 0; from < plans.size(); from += kChunk) {
      const std::size_t to = std::min(plans.size(), from + kChunk);
      std::vector<Move> moves = reserveChunk(plans, from, to, check);
      if (dryRun_) {
        handled_ = to;
        if (progress_) progress_(handled_, total_);
        continue;
      }
      makeDurable(moves);
      for (Move& m : moves) {
        moveAsset(m);
        if (progress_) progress_(++handled_, total_);
      }
      recordMoved(moves);
      handled_ = to;
    }
    out_.batch = batch_;
    return std::move(out_);
  }

 private:
  // Checks and reservations of the chunk's files, and their rows: "planned"
  // for the files that are to move (returned), "skipped" for the others.
  // The transaction opened here is committed by makeDurable.
  std::vector<Move> reserveChunk(const std::vector<Plan>& plans, std::size_t from, std::size_t to,
                                 FileCheck& check) {
    std::vector<Move> moves;
    if (!dryRun_) {
      if (batch_ == 0) batch_ = catalog_.startBatch();
      catalog_.begin();
    }
    for (std::size_t i = from; i < to; ++i) {
      Move m{plans[i].photo, {}, {}};
      std::string why = check(plans[i], m);
      for (std::size_t f = 0; why.empty() && f < m.files.size(); ++f) {
        if (dryRun_) break;
        std::string error;
        auto place = env_.reserve(m.files[f].path, m.files[f].before->dev, error);
        if (!place) why = "no Trash can take it: " + error;
        else m.places.push_back(*place);
      }
      const Photo& p = photos_[plans[i].photo];
      if (!why.empty()) {
        for (const TrashPlace& pl : m.places) env_.release(pl);
        TrashEntry e;
        e.photoId = p.id, e.path = p.path, e.bytes = p.bytes, e.state = "skipped", e.reason = why;
        if (!dryRun_) journal(e);
        report(e, p.row, "skipped");
        continue;
      }
      if (dryRun_) {
        for (std::size_t f = 0; f < m.files.size(); ++f) report(m.files[f], f == 0 ? p.row : 0, "would move");
        continue;
      }
      for (std::size_t f = 0; f < m.files.size(); ++f) {
        m.files[f].state = "planned", m.files[f].trashFile = m.places[f].file, m.files[f].trashInfo = m.places[f].info;
        journal(m.files[f]);
      }
      moves.push_back(std::move(m));
    }
    return moves;
  }

  // The chunk's .trashinfo files on disk before the journal names them;
  // when they cannot be, nothing of the chunk moves. Then the planned rows
  // committed.
  void makeDurable(std::vector<Move>& moves) {
    if (std::string error; !moves.empty() && !env_.flush(error)) {
      for (Move& m : moves)
        for (std::size_t f = 0; f < m.files.size(); ++f) {
          env_.release(m.places[f]);
          m.files[f].state = "skipped", m.files[f].reason = "no Trash can take it: " + error;
          journal(m.files[f]);
          report(m.files[f], f == 0 ? photos_[m.photo].row : 0, "skipped");
        }
      moves.clear();
    }
    catalog_.commit();
  }

  // One asset moved whole or not at all: when a file of it cannot move,
  // those moved before it are put back.
  void moveAsset(Move& m) {
    std::string error;
    std::size_t f = 0;
    for (; f < m.files.size(); ++f)
      if (!env_.moveIn(library_.root, m.files[f].path, *m.files[f].before, m.places[f], error)) break;
    if (f < m.files.size()) {
      for (std::size_t b = 0; b < f; ++b) {
        std::string ignored;
        if (env_.moveOut(library_.root, m.places[b], m.files[b].path, ignored)) m.files[b].state = "skipped";
        else m.files[b].state = "moved", m.files[b].after = env_.stat(m.places[b].file);
      }
      for (std::size_t b = f; b < m.files.size(); ++b) m.files[b].state = "skipped";
      for (std::size_t b = 0; b < m.files.size(); ++b) {
        m.files[b].reason = b == f ? error : "the other files of its asset could not move with it";
        if (m.files[b].state == "skipped") env_.release(m.places[b]);
      }
    } else {
      for (std::size_t b = 0; b < m.files.size(); ++b)
        m.files[b].state = "moved", m.files[b].after = env_.stat(m.places[b].file);
    }
  }

  // What became of the chunk's files, their rows committed together.
  void recordMoved(std::vector<Move>& moves) {
    catalog_.begin();
    for (Move& m : moves)
      for (std::size_t f = 0; f < m.files.size(); ++f) {
        journal(m.files[f]);
        report(m.files[f], f == 0 ? photos_[m.photo].row : 0, m.files[f].state);
      }
    catalog_.commit();
  }

  void journal(TrashEntry& e) {
    e.batch = batch_;
    e.entry = catalog_.journal(e);
  }

  void report(const TrashEntry& e, std::int64_t row, const std::string& state) {
    out_.files.push_back({e.path, row, e.bytes, state, e.reason, e.trashFile});
    if (state == "moved" || state == "would move")
      ++out_.done, out_.bytes += e.bytes;
    else
      ++out_.skipped;
  }

  Catalog& catalog_;
  const LibraryContext& library_;
  TrashEnv& env_;
  const bool dryRun_;
  const Progress& progress_;
  const std::vector<Photo>& photos_;
  ActOutcome out_;
  std::int64_t batch_ = 0;
  std::size_t handled_ = 0, total_ = 0;
};

}  // namespace

ActOutcome moveToTrash(Catalog& catalog, const LibraryContext& library, TrashEnv& env, bool dryRun,
                       const Progress& progress) {
  if (!dryRun) settleJournal(catalog, env);
  DecidedGroups d = decided(catalog, library, false, [&](const std::string& path) { return env.stat(path); });
  const Plans plans = planAnchors(catalog, library, d);
  FileCheck check(env, library, d, plans);
  return TrashRun(catalog, library, env, dryRun, progress, d.photos).run(plans.plans, check);
}

ActOutcome undoBatch(Catalog& catalog, const LibraryContext& library, TrashEnv& env,
                     std::optional<std::int64_t> batch, const Progress& progress) {
  settleJournal(catalog, env);
  ActOutcome out;
  if (!batch)
    for (const TrashBatch& b : catalog.batches())
      if (b.moved > 0) {
        batch = b.batch;
        break;
      }
  if (!batch) return out;
  out.batch = *batch;
  std::vector<TrashEntry> entries = catalog.journalOf(*batch);
  std::erase_if(entries, [](const TrashEntry& e) { return e.state != "moved"; });
  std::size_t handled = 0;
  for (TrashEntry& e : entries) {
    const TrashPlace place{e.trashFile, e.trashInfo};
    const auto there = env.stat(e.trashFile);
    std::string state = "restored";
    auto same = [&](const std::optional<FileStat>& s) {
      return s && e.after && s->ino == e.after->ino && s->size == e.after->size && s->mtimeNs == e.after->mtimeNs;
    };
    if (!there) {
      const auto back = env.stat(e.path);
      if (back && e.before && back->ino == e.before->ino && back->dev == e.before->dev) {
        e.reason = "it was back in its place already";
      } else {
        state = "emptied", e.reason = "the Trash no longer holds it";
      }
    } else if (!same(there)) {
      state = "refused", e.reason = "the file in the Trash is no longer the one moved there";
    } else if (std::string error; !env.moveOut(library.root, place, e.path, error)) {
      state = "refused", e.reason = error;
    } else {
      env.release(place);
      // Untouched in the Trash: the catalog's fingerprints still hold, and
      // the photo is back in the groups without a scan.
      if (!e.photoId.empty() && there == e.after)
        if (auto rec = catalog.photo(e.photoId, false); rec && rec->stat == e.before)
          catalog.updateStat(e.photoId, env.stat(e.path));
    }
    if (state != "refused") {
      e.state = state == "emptied" ? "emptied" : "restored";
      catalog.journal(e);
    }
    const auto rec = e.photoId.empty() ? std::nullopt : catalog.photo(e.photoId, false);
    out.files.push_back({e.path, rec ? rec->row : 0, e.bytes, state, e.reason, e.trashFile});
    if (state == "restored")
      ++out.done, out.bytes += e.bytes;
    else
      ++out.skipped;
    if (progress) progress(++handled, entries.size());
  }
  return out;
}

}  // namespace photodupes
