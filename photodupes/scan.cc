#include "photodupes/scan.h"

#include <signal.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

#include "photodupes/candidates.h"
#include "photodupes/child_process.h"
#include "photodupes/file_state.h"
#include "photodupes/library_probe.h"
#include "photodupes/unreadable.h"
#include "photolibrary/folder_library_names.h"

namespace photodupes {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

// Count, rate and time left, redrawn in place on a terminal.
class ProgressBar {
 public:
  ProgressBar(std::FILE* out, bool on) : out_(on ? out : nullptr), start_(Clock::now()) {}
  ~ProgressBar() { finish(); }
  // Ends the bar's line, so that messages start on a line of their own.
  void finish() {
    if (out_ && drawn_) std::fputs("\n", out_);
    drawn_ = false;
  }
  void update(std::int64_t done, std::int64_t of) {
    if (!out_ || of <= 0) return;
    const double secs = std::chrono::duration<double>(Clock::now() - start_).count();
    const double rate = secs > 0 ? done / secs : 0;
    const int width = 30, filled = static_cast<int>(width * std::min<double>(1.0, double(done) / of));
    std::string bar(filled, '#');
    bar.resize(width, '.');
    std::string left = "--:--";
    if (rate > 0) {
      const long s = std::lround((of - done) / rate);
      char buf[32];
      std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
      left = buf;
    }
    std::fprintf(out_, "\r[%s] %lld/%lld photos  %.1f/s  %s left ", bar.c_str(), static_cast<long long>(done),
                 static_cast<long long>(of), rate, left.c_str());
    std::fflush(out_);
    drawn_ = true;
  }

 private:
  std::FILE* out_;
  Clock::time_point start_;
  bool drawn_ = false;
};

std::optional<std::int64_t> intKey(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_number_integer()) return std::nullopt;
  return it->get<std::int64_t>();
}

std::string textKey(const json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// "DIR (N), DIR (N), DIR (N) and N more elsewhere": the first three folders
// of `folders` below `root`.
std::string folderList(const std::string& root, const std::vector<std::pair<std::string, int>>& folders) {
  std::string where;
  int others = 0;
  for (std::size_t k = 0; k < folders.size(); ++k) {
    if (k < 3) {
      where += (k ? ", " : "") + printable(root + (folders[k].first.empty() ? "" : "/" + folders[k].first)) + " (" +
               std::to_string(folders[k].second) + ")";
    } else {
      others += folders[k].second;
    }
  }
  if (others) where += " and " + std::to_string(others) + " more elsewhere";
  return where;
}

// What the user reads after a round that stalled (or made no progress
// although a file does not answer): what does not answer, in which folder,
// and where the photos not scanned are.
std::string stallMessage(const std::string& root, const Unscanned& u, std::size_t kept) {
  std::string text = "photodupes: the scan stalled: ";
  if (!u.silent.empty() && u.silentIsFolder) {
    text += "the folder " + printable(u.silent) + " does not answer";
  } else if (!u.silent.empty()) {
    text += printable(u.silent) + " does not answer when read; it is in the folder " +
            printable(fs::path(u.silent).parent_path().string());
  } else {
    text += "a file does not answer";
  }
  text += " (a dead network mount or a failing disk?). The catalog keeps what earlier scans stored and the " +
          std::to_string(kept) + " photos answered in this run";
  if (!u.folders.empty())
    text += "; photos not scanned yet are in " + folderList(root, u.folders) + (u.listed ? "" : ", as far as listed");
  text += ". The next scan stops there again: repair or move ";
  text += u.silent.empty() ? "that folder" : "it";
  text += ", then run photodupes scan again.\n";
  return text;
}

// Whether albumsweep may still write after a progress line. The progress
// line after a stop line is its last: the round ends there, without waiting
// for the process to end, which after a stall can take as long as a read of
// a dead mount does (albumsweep cannot end while one of its threads is
// blocked in it).
bool mayWriteMore(const std::string& stopLine) { return stopLine.empty(); }

// The capture date to store for a photo whose record says `created`. When
// albumsweep could not read a photo's header this time (cut off by its
// deadline, or a file on a network mount without --allow-cloud), the record
// carries the file's modification time as "created", equal to its "mod".
// A capture date the catalog already holds for the same unchanged file
// then stands, rather than giving way to that stand-in.
std::int64_t createdToKeep(const Catalog& catalog, const std::string& id, std::int64_t created, std::int64_t mod) {
  if (created != mod) return created;
  std::optional<Photo> known = catalog.photo(id, false);
  return known && known->mod == mod && known->created != 0 ? known->created : created;
}

}  // namespace

std::optional<std::string> pathOfIdentifier(const std::string& root, const std::string& id) {
  auto parts = photolibrary::folder::pathFromIdentifier(id);
  if (!parts) return std::nullopt;
  std::string path = root;
  for (const std::string& p : *parts) path += "/" + p;
  return path;
}

std::string accessAdvice(const std::string& answer, const std::string& root) {
  if (answer == "not-determined")
    return "The library folder " + root +
           " does not exist, is not a folder, or did not answer within 60 seconds (a network mount or disk that "
           "hangs): check the path and its mount, or name your library with --library DIR.";
  if (answer == "denied")
    return "photodupes may not read the library folder " + root +
           ": give your user read and search permission on it (chmod u+rx), or name another with --library DIR.";
  if (answer == "restricted")
    return "The library folder " + root +
           " is read-only (a read-only mount, or no write permission), and a library scan needs read-and-write "
           "access: use `photodupes files " +
           root + "` instead, which only reads the files.";
  return "albumsweep answered \"" + answer + "\" about access to the library folder " + root + ".";
}

int runScan(Catalog& catalog, const ScanRequest& req, std::FILE* err) {
  const auto scanStarted = Clock::now();
  catalog.begin();
  const std::int64_t run = catalog.startRun();
  catalog.setMeta("allow_cloud", req.allowCloud ? "1" : "0");
  catalog.commit();

  ProgressBar bar(err, req.progress);
  catchInterrupts();
  RunCounts counts;
  Unreadable problems;
  std::set<std::string> seen;  // answered in some round of this run
  std::optional<std::int64_t> total;
  std::string authAnswer, stop, fatal, failure;
  std::int64_t lastDone = -1, lastOf = -1;
  std::int64_t answeredInRound = 0;  // records of the last round, cached ones included
  std::size_t newInRound = 0;        // photos first answered in the last round
  bool interrupted = false, userDeadline = false, noProgress = false;
  double roundSeconds = req.roundSeconds;
  int idleRounds = 0;
  std::optional<Unscanned> diagnosis;  // photodupes' own look, after a round that stalled or made no progress

  // Rounds: each runs albumsweep with a finite deadline and a manifest of
  // what the catalog knows by then, so the files fingerprinted in earlier
  // rounds are answered with short cached records and the round goes on
  // from where the last one stopped.
  for (;;) {
    std::optional<double> deadline;
    if (std::isfinite(roundSeconds)) deadline = roundSeconds;
    if (req.deadline) {
      const double left = *req.deadline - std::chrono::duration<double>(Clock::now() - scanStarted).count();
      if (left <= 0) {
        stop = "deadline";
        break;
      }
      userDeadline = !deadline || left <= *deadline;
      if (userDeadline) deadline = left;
    }

    // What the catalog knows already: albumsweep answers unchanged photos with a
    // short cached record instead of hashing them again.
    // Only files whose whole stat still matches are offered: anything else
    // (also a file rewritten at the same size with its modification time set
    // back) is fingerprinted again. Every known file's stat, taken before the
    // round, also tells whether it changed while it was read. The stats are
    // taken in a child process: a file on storage that stopped answering
    // gets none (and is not offered) instead of holding the scan.
    const std::int64_t startedNs = fileClockNs();
    const std::vector<Photo> knownPhotos = catalog.photos(false);
    KnownStats stats = statKnownFiles(knownPhotos, req.quiet);
    const std::map<std::string, FileStat>& before = stats.byId;
    json skip = json::array();
    for (const Photo& p : knownPhotos) {
      const auto it = before.find(p.id);
      const std::optional<FileStat> now = it == before.end() ? std::nullopt : std::optional<FileStat>(it->second);
      // A file that could not be read is not read again until it changes.
      const bool failedBefore = !p.err.empty() && p.stat;
      if (now && ((p.state == "local" && p.usable()) || failedBefore) && unchangedSince(p, now))
        skip.push_back({{"id", p.id}, {"mod", p.usable() ? p.mod : modMillis(*now)}, {"size", now->size}});
    }
    const std::string manifest = json{{"skip", std::move(skip)}}.dump();
    auto statBefore = [&](const std::string& id) -> std::optional<FileStat> {
      const auto was = before.find(id);
      return was == before.end() ? std::nullopt : std::optional<FileStat>(was->second);
    };
    // The stat to keep with a record just arrived: the file's, when it did not
    // change while it was read; else nothing, so that the next scan reads it again.
    auto statAfterRead = [&](const std::string& id, const std::string& path, std::int64_t bytes,
                             std::int64_t mod) -> std::optional<FileStat> {
      const auto now = statFile(path);
      if (!now || !readWhileUnchanged(statBefore(id), *now, bytes, mod, startedNs)) return std::nullopt;
      return now;
    };

    std::vector<std::string> argv = {req.albumsweep, "scan",       "--library", req.root,
                                     "--max",        "1000000000", "--deadline"};
    argv.push_back(deadline ? std::to_string(*deadline) : "inf");
    if (req.allowCloud) argv.push_back("--allow-cloud");

    authAnswer.clear(), stop.clear(), fatal.clear();
    total.reset();
    lastDone = lastOf = -1;
    answeredInRound = 0;
    newInRound = 0;
    int pending = 0;
    catalog.begin();
    auto flush = [&] {
      catalog.commit();
      catalog.begin();
      pending = 0;
    };

    auto onRecord = [&](json& j) -> bool {
      if (j.contains("auth")) {
        authAnswer = textKey(j, "auth");
        total = intKey(j, "total");
        return true;
      }
      if (j.contains("fatal")) {
        fatal = textKey(j, "fatal");
        return true;
      }
      if (j.contains("stop")) {
        stop = textKey(j, "stop");
        return true;
      }
      if (auto done = intKey(j, "progress")) {
        lastDone = *done;
        lastOf = intKey(j, "of").value_or(-1);
        bar.update(lastDone, lastOf);
        if (pending) flush();
        return mayWriteMore(stop);
      }
      const std::string id = textKey(j, "id");
      if (id.empty()) return true;  // a line of no concern to us
      ++answeredInRound;
      const bool cached = j.value("cached", false);
      // Stored by an earlier round of this run and unchanged since.
      if (cached && seen.count(id)) return true;
      if (seen.insert(id).second) ++newInRound;
      const auto path = pathOfIdentifier(req.root, id);
      const bool ok = j.value("ok", false);
      if (ok && cached) {
        const std::int64_t bytes = intKey(j, "bytes").value_or(0), mod = intKey(j, "mod").value_or(0);
        if (catalog.markUnchanged(id, bytes, mod, createdToKeep(catalog, id, intKey(j, "created").value_or(0), mod),
                                  textKey(j, "name"), run)) {
          if (path) catalog.updateStat(id, statAfterRead(id, *path, bytes, mod));
          ++counts.cached;
        } else if (auto failed = catalog.photo(id, false); failed && !failed->err.empty() && catalog.markSeen(id, run)) {
          problems.note(failed->path, failed->err);  // unchanged since it could not be read
        } else {
          // Not known after all: left out, so that the next run scans it.
          seen.erase(id);
          --newInRound;
          --answeredInRound;
        }
      } else if (auto known = catalog.photo(id, false); !ok && textKey(j, "state") == "cloud" && known &&
                                                        known->usable() && known->mod == intKey(j, "mod").value_or(0)) {
        // Not read this time (its data is not local), but unchanged since it
        // was: its fingerprints still hold.
        catalog.markUnchanged(id, known->bytes, known->mod,
                              createdToKeep(catalog, id, intKey(j, "created").value_or(0), known->mod),
                              textKey(j, "name"), run);
        ++counts.cached;
      } else if (path) {
        Photo p;
        p.id = id;
        p.path = *path;
        p.name = textKey(j, "name");
        p.state = textKey(j, "state");
        p.w = intKey(j, "w").value_or(0);
        p.h = intKey(j, "h").value_or(0);
        p.mod = intKey(j, "mod").value_or(0);
        p.created = createdToKeep(catalog, id, intKey(j, "created").value_or(0), p.mod);
        if (ok) {
          p.sha = textKey(j, "sha");
          const std::string hash = textKey(j, "hash");
          if (hash.size() == 16 && hash.find_first_not_of("0123456789abcdef") == std::string::npos)
            p.dhash = std::stoull(hash, nullptr, 16);
          p.bytes = intKey(j, "bytes").value_or(0);
          p.thumb = textKey(j, "thumb");
          setThumbHashes(p, p.thumb);
          p.stat = statAfterRead(id, *path, p.bytes, p.mod);
          ++counts.scanned;
        } else {
          p.err = textKey(j, "err");
          const auto now = statFile(*path);
          if (now && p.state != "cloud" && unchangedWhileRead(statBefore(id), *now, startedNs)) p.stat = now;
          problems.note(p.path, p.err);
          ++counts.failed;
        }
        catalog.putPhoto(p, run);
      }
      if (++pending >= 64) flush();
      return true;
    };
    const JsonChildResult child = runJsonChild(argv, manifest, "albumsweep", onRecord);
    catalog.commit();

    if (child.child.interrupted) {
      interrupted = true;
      break;
    }
    const std::string what = "albumsweep (" + req.albumsweep + ")";
    failure = child.problem;
    if (failure.empty() && !fatal.empty()) failure = "albumsweep refused the scan (\"" + fatal + "\")";
    if (failure.empty() && authAnswer.empty()) failure = what + " ended without answering";
    if (!failure.empty() || authAnswer != "authorized" || stop != "deadline" || userDeadline) break;
    // Ended by the round's deadline: the next round goes on from there.
    if (newInRound > 0) {
      idleRounds = 0;
      roundSeconds = req.roundSeconds;
      continue;
    }
    // A round that answered nothing new: the inventory alone took the
    // round (a large library on slow storage), a photo takes longer than
    // the round, or a file does not answer (a header read that hangs holds
    // every round's inventory to its deadline). photodupes looks for a file
    // that does not answer itself; when none is found, the next round gets
    // twice the time.
    bar.finish();
    diagnosis = lookForUnscanned(req.root, seen, true, req.quiet);
    if (diagnosis->interrupted) {
      interrupted = true;
      break;
    }
    if (!diagnosis->silent.empty()) {
      stop = "stalled";
      break;
    }
    diagnosis.reset();
    if (++idleRounds >= 4) {
      noProgress = true;
      break;
    }
    roundSeconds *= 2;
  }
  bar.finish();

  if (interrupted) {
    catalog.begin();
    catalog.finishRun(run, "interrupted", counts);
    catalog.commit();
    std::fprintf(err,
                 "photodupes: interrupted; the %zu photos answered so far are kept, and the next photodupes scan goes "
                 "on where this one stopped.\n",
                 seen.size());
    return 128 + (interruptSignal() ? interruptSignal() : SIGINT);
  }
  problems.report(err, req.verbose, "photodupes scan --verbose");

  std::string outcome = "complete";
  int status = kExitOk;
  if (!failure.empty()) {
    std::fprintf(err, "photodupes: %s; the catalog keeps everything recorded until then (%zu photos in this run).\n",
                 failure.c_str(), seen.size());
    outcome = "failed";
    status = kExitFailure;
  } else if (authAnswer != "authorized" && !authAnswer.empty()) {
    std::fprintf(err, "photodupes: %s\n", accessAdvice(authAnswer, req.root).c_str());
    outcome = "access " + authAnswer;
    status = kExitFailure;
  } else if (stop == "stalled") {
    if (!diagnosis) diagnosis = lookForUnscanned(req.root, seen, true, req.quiet);
    std::fputs(stallMessage(req.root, *diagnosis, seen.size()).c_str(), err);
    outcome = "stalled";
    status = kExitFailure;
  } else if (noProgress) {
    const Unscanned u = lookForUnscanned(req.root, seen, false, req.quiet);
    std::fprintf(err,
                 "photodupes: the scan made no progress in %d rounds, the last one of %.0f seconds, and no file "
                 "was found not answering: the library's storage is too slow for photodupes. The %zu photos "
                 "answered in this run are kept%s%s.\n",
                 idleRounds, roundSeconds, seen.size(), u.folders.empty() ? "" : "; photos not scanned yet are in ",
                 folderList(req.root, u.folders).c_str());
    outcome = "stalled";
    status = kExitFailure;
  } else if (stop == "deadline") {
    outcome = "deadline";
  } else if (total && lastDone == lastOf && lastOf == *total && answeredInRound == *total) {
    // Every photo of the library answered: those the catalog still holds
    // from earlier runs have left the library.
    catalog.begin();
    catalog.dropUnseen(run);
    catalog.commit();
  } else if (total && *total == 0) {
    catalog.begin();
    catalog.dropUnseen(run);
    catalog.commit();
  } else {
    outcome = "incomplete";
  }
  // Photos stored before photodupes computed extra or corner hashes (an
  // older catalog) get theirs now.
  std::vector<Photo> known = catalog.photos(false);
  completeThumbHashes(catalog, known);
  catalog.begin();
  catalog.finishRun(run, outcome, counts);
  catalog.commit();
  return status;
}

}  // namespace photodupes
