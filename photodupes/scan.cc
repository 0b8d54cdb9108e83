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

// What the catalog knows already, offered to one round: albumsweep answers
// unchanged photos with a short cached record instead of hashing them again.
// Only files whose whole stat still matches are offered: anything else
// (also a file rewritten at the same size with its modification time set
// back) is fingerprinted again. Every known file's stat, taken before the
// round, also tells whether it changed while it was read. The stats are
// taken in a child process: a file on storage that stopped answering
// gets none (and is not offered) instead of holding the scan.
class KnownFiles {
 public:
  KnownFiles(const Catalog& catalog, std::chrono::milliseconds quiet) : startedNs_(fileClockNs()) {
    const std::vector<Photo> knownPhotos = catalog.photos(false);
    before_ = statKnownFiles(knownPhotos, quiet).byId;
    json skip = json::array();
    for (const Photo& p : knownPhotos) {
      const auto it = before_.find(p.id);
      const std::optional<FileStat> now = it == before_.end() ? std::nullopt : std::optional<FileStat>(it->second);
      // A file that could not be read is not read again until it changes.
      const bool failedBefore = !p.err.empty() && p.stat;
      if (now && ((p.state == "local" && p.usable()) || failedBefore) && unchangedSince(p, now))
        skip.push_back({{"id", p.id}, {"mod", p.usable() ? p.mod : modMillis(*now)}, {"size", now->size}});
    }
    manifest_ = json{{"skip", std::move(skip)}}.dump();
  }

  // The skip manifest albumsweep reads on its standard input.
  const std::string& manifest() const { return manifest_; }
  std::int64_t startedNs() const { return startedNs_; }

  std::optional<FileStat> statBefore(const std::string& id) const {
    const auto was = before_.find(id);
    return was == before_.end() ? std::nullopt : std::optional<FileStat>(was->second);
  }
  // The stat to keep with a record just arrived: the file's, when it did not
  // change while it was read; else nothing, so that the next scan reads it again.
  std::optional<FileStat> statAfterRead(const std::string& id, const std::string& path, std::int64_t bytes,
                                        std::int64_t mod) const {
    const auto now = statFile(path);
    if (!now || !readWhileUnchanged(statBefore(id), *now, bytes, mod, startedNs_)) return std::nullopt;
    return now;
  }

 private:
  std::int64_t startedNs_;
  std::map<std::string, FileStat> before_;
  std::string manifest_;
};

// One library scan: rounds of albumsweep, each record stored as it arrives,
// then the outcome told to the user and recorded with the run.
class Scan {
 public:
  Scan(Catalog& catalog, const ScanRequest& req, std::FILE* err)
      : catalog_(catalog),
        req_(req),
        err_(err),
        run_(startRun(catalog, req)),
        bar_(err, req.progress),
        roundSeconds_(req.roundSeconds) {}

  int run() {
    catchInterrupts();
    runRounds();
    bar_.finish();
    if (interrupted_) return endInterrupted();
    problems_.report(err_, req_.verbose, "photodupes scan --verbose");
    int status = kExitOk;
    const std::string outcome = conclude(status);
    // Photos stored before photodupes computed extra or corner hashes (an
    // older catalog) get theirs now.
    std::vector<Photo> known = catalog_.photos(false);
    completeThumbHashes(catalog_, known);
    catalog_.begin();
    catalog_.finishRun(run_, outcome, counts_);
    catalog_.commit();
    return status;
  }

 private:
  static std::int64_t startRun(Catalog& catalog, const ScanRequest& req) {
    catalog.begin();
    const std::int64_t run = catalog.startRun();
    catalog.setMeta("allow_cloud", req.allowCloud ? "1" : "0");
    catalog.commit();
    return run;
  }

  // Rounds: each runs albumsweep with a finite deadline and a manifest of
  // what the catalog knows by then, so the files fingerprinted in earlier
  // rounds are answered with short cached records and the round goes on
  // from where the last one stopped.
  void runRounds() {
    for (;;) {
      std::optional<double> deadline;
      if (!roundDeadline(deadline)) return;
      const KnownFiles known(catalog_, req_.quiet);
      const JsonChildResult child = runRound(deadline, known);
      if (!goOn(child)) return;
    }
  }

  // The deadline of the next round: the round's own, or what is left of
  // the user's when that comes first. False when the user's has passed.
  bool roundDeadline(std::optional<double>& deadline) {
    if (std::isfinite(roundSeconds_)) deadline = roundSeconds_;
    if (req_.deadline) {
      const double left = *req_.deadline - std::chrono::duration<double>(Clock::now() - started_).count();
      if (left <= 0) {
        stop_ = "deadline";
        return false;
      }
      userDeadline_ = !deadline || left <= *deadline;
      if (userDeadline_) deadline = left;
    }
    return true;
  }

  // One albumsweep run, its records stored as they arrive.
  JsonChildResult runRound(const std::optional<double>& deadline, const KnownFiles& known) {
    std::vector<std::string> argv = {req_.albumsweep, "scan",       "--library", req_.root,
                                     "--max",         "1000000000", "--deadline"};
    argv.push_back(deadline ? std::to_string(*deadline) : "inf");
    if (req_.allowCloud) argv.push_back("--allow-cloud");

    authAnswer_.clear(), stop_.clear(), fatal_.clear();
    total_.reset();
    lastDone_ = lastOf_ = -1;
    answeredInRound_ = 0;
    newInRound_ = 0;
    pending_ = 0;
    catalog_.begin();
    const JsonChildResult child = runJsonChild(argv, known.manifest(), "albumsweep",
                                               [&](json& j) { return onRecord(j, known); });
    catalog_.commit();
    return child;
  }

  void flush() {
    catalog_.commit();
    catalog_.begin();
    pending_ = 0;
  }

  // One line from albumsweep; false when it writes no more.
  bool onRecord(const json& j, const KnownFiles& known) {
    if (j.contains("auth")) {
      authAnswer_ = textKey(j, "auth");
      total_ = intKey(j, "total");
      return true;
    }
    if (j.contains("fatal")) {
      fatal_ = textKey(j, "fatal");
      return true;
    }
    if (j.contains("stop")) {
      stop_ = textKey(j, "stop");
      return true;
    }
    if (auto done = intKey(j, "progress")) {
      lastDone_ = *done;
      lastOf_ = intKey(j, "of").value_or(-1);
      bar_.update(lastDone_, lastOf_);
      if (pending_) flush();
      return mayWriteMore(stop_);
    }
    const std::string id = textKey(j, "id");
    if (id.empty()) return true;  // a line of no concern to us
    ++answeredInRound_;
    const bool cached = j.value("cached", false);
    // Stored by an earlier round of this run and unchanged since.
    if (cached && seen_.count(id)) return true;
    if (seen_.insert(id).second) ++newInRound_;
    storePhoto(j, id, cached, known);
    if (++pending_ >= 64) flush();
    return true;
  }

  // A photo's record, stored as what it says: unchanged, unread but
  // unchanged (not local), freshly fingerprinted, or not readable.
  void storePhoto(const json& j, const std::string& id, bool cached, const KnownFiles& known) {
    const auto path = pathOfIdentifier(req_.root, id);
    const bool ok = j.value("ok", false);
    if (ok && cached) {
      const std::int64_t bytes = intKey(j, "bytes").value_or(0), mod = intKey(j, "mod").value_or(0);
      if (catalog_.markUnchanged(id, bytes, mod, createdToKeep(catalog_, id, intKey(j, "created").value_or(0), mod),
                                 textKey(j, "name"), run_)) {
        if (path) catalog_.updateStat(id, known.statAfterRead(id, *path, bytes, mod));
        ++counts_.cached;
      } else if (auto failed = catalog_.photo(id, false);
                 failed && !failed->err.empty() && catalog_.markSeen(id, run_)) {
        problems_.note(failed->path, failed->err);  // unchanged since it could not be read
      } else {
        // Not known after all: left out, so that the next run scans it.
        seen_.erase(id);
        --newInRound_;
        --answeredInRound_;
      }
    } else if (auto stored = catalog_.photo(id, false); !ok && textKey(j, "state") == "cloud" && stored &&
                                                         stored->usable() &&
                                                         stored->mod == intKey(j, "mod").value_or(0)) {
      // Not read this time (its data is not local), but unchanged since it
      // was: its fingerprints still hold.
      catalog_.markUnchanged(id, stored->bytes, stored->mod,
                             createdToKeep(catalog_, id, intKey(j, "created").value_or(0), stored->mod),
                             textKey(j, "name"), run_);
      ++counts_.cached;
    } else if (path) {
      catalog_.putPhoto(photoOfRecord(j, id, *path, ok, known), run_);
    }
  }

  // The photo a record describes, fingerprinted or failed; counted.
  Photo photoOfRecord(const json& j, const std::string& id, const std::string& path, bool ok, const KnownFiles& known) {
    Photo p;
    p.id = id;
    p.path = path;
    p.name = textKey(j, "name");
    p.state = textKey(j, "state");
    p.w = intKey(j, "w").value_or(0);
    p.h = intKey(j, "h").value_or(0);
    p.mod = intKey(j, "mod").value_or(0);
    p.created = createdToKeep(catalog_, id, intKey(j, "created").value_or(0), p.mod);
    if (ok) {
      p.sha = textKey(j, "sha");
      const std::string hash = textKey(j, "hash");
      if (hash.size() == 16 && hash.find_first_not_of("0123456789abcdef") == std::string::npos)
        p.dhash = std::stoull(hash, nullptr, 16);
      p.bytes = intKey(j, "bytes").value_or(0);
      p.thumb = textKey(j, "thumb");
      setThumbHashes(p, p.thumb);
      p.stat = known.statAfterRead(id, path, p.bytes, p.mod);
      ++counts_.scanned;
    } else {
      p.err = textKey(j, "err");
      const auto now = statFile(path);
      if (now && p.state != "cloud" && unchangedWhileRead(known.statBefore(id), *now, known.startedNs())) p.stat = now;
      problems_.note(p.path, p.err);
      ++counts_.failed;
    }
    return p;
  }

  // After a round: whether another round follows.
  bool goOn(const JsonChildResult& child) {
    if (child.child.interrupted) {
      interrupted_ = true;
      return false;
    }
    const std::string what = "albumsweep (" + req_.albumsweep + ")";
    failure_ = child.problem;
    if (failure_.empty() && !fatal_.empty()) failure_ = "albumsweep refused the scan (\"" + fatal_ + "\")";
    if (failure_.empty() && authAnswer_.empty()) failure_ = what + " ended without answering";
    if (!failure_.empty() || authAnswer_ != "authorized" || stop_ != "deadline" || userDeadline_) return false;
    // Ended by the round's deadline: the next round goes on from there.
    if (newInRound_ > 0) {
      idleRounds_ = 0;
      roundSeconds_ = req_.roundSeconds;
      return true;
    }
    return goOnAfterIdleRound();
  }

  // A round that answered nothing new: the inventory alone took the
  // round (a large library on slow storage), a photo takes longer than
  // the round, or a file does not answer (a header read that hangs holds
  // every round's inventory to its deadline). photodupes looks for a file
  // that does not answer itself; when none is found, the next round gets
  // twice the time.
  bool goOnAfterIdleRound() {
    bar_.finish();
    diagnosis_ = lookForUnscanned(req_.root, seen_, true, req_.quiet);
    if (diagnosis_->interrupted) {
      interrupted_ = true;
      return false;
    }
    if (!diagnosis_->silent.empty()) {
      stop_ = "stalled";
      return false;
    }
    diagnosis_.reset();
    if (++idleRounds_ >= 4) {
      noProgress_ = true;
      return false;
    }
    roundSeconds_ *= 2;
    return true;
  }

  int endInterrupted() {
    catalog_.begin();
    catalog_.finishRun(run_, "interrupted", counts_);
    catalog_.commit();
    std::fprintf(err_,
                 "photodupes: interrupted; the %zu photos answered so far are kept, and the next photodupes scan goes "
                 "on where this one stopped.\n",
                 seen_.size());
    return 128 + (interruptSignal() ? interruptSignal() : SIGINT);
  }

  // What the rounds came to, as the run's recorded outcome; `status` is
  // set to the exit status, and the user told what went wrong. A scan
  // that answered the whole library forgets the photos that left it.
  std::string conclude(int& status) {
    std::string outcome = "complete";
    if (!failure_.empty()) {
      std::fprintf(err_, "photodupes: %s; the catalog keeps everything recorded until then (%zu photos in this run).\n",
                   failure_.c_str(), seen_.size());
      outcome = "failed";
      status = kExitFailure;
    } else if (authAnswer_ != "authorized" && !authAnswer_.empty()) {
      std::fprintf(err_, "photodupes: %s\n", accessAdvice(authAnswer_, req_.root).c_str());
      outcome = "access " + authAnswer_;
      status = kExitFailure;
    } else if (stop_ == "stalled") {
      if (!diagnosis_) diagnosis_ = lookForUnscanned(req_.root, seen_, true, req_.quiet);
      std::fputs(stallMessage(req_.root, *diagnosis_, seen_.size()).c_str(), err_);
      outcome = "stalled";
      status = kExitFailure;
    } else if (noProgress_) {
      const Unscanned u = lookForUnscanned(req_.root, seen_, false, req_.quiet);
      std::fprintf(err_,
                   "photodupes: the scan made no progress in %d rounds, the last one of %.0f seconds, and no file "
                   "was found not answering: the library's storage is too slow for photodupes. The %zu photos "
                   "answered in this run are kept%s%s.\n",
                   idleRounds_, roundSeconds_, seen_.size(),
                   u.folders.empty() ? "" : "; photos not scanned yet are in ",
                   folderList(req_.root, u.folders).c_str());
      outcome = "stalled";
      status = kExitFailure;
    } else if (stop_ == "deadline") {
      outcome = "deadline";
    } else if (total_ &&
               (*total_ == 0 || (lastDone_ == lastOf_ && lastOf_ == *total_ && answeredInRound_ == *total_))) {
      // Every photo of the library answered (or it has none): those the
      // catalog still holds from earlier runs have left the library.
      catalog_.begin();
      catalog_.dropUnseen(run_);
      catalog_.commit();
    } else {
      outcome = "incomplete";
    }
    return outcome;
  }

  Catalog& catalog_;
  const ScanRequest& req_;
  std::FILE* err_;
  const Clock::time_point started_ = Clock::now();
  const std::int64_t run_;
  ProgressBar bar_;
  RunCounts counts_;
  Unreadable problems_;
  std::set<std::string> seen_;  // answered in some round of this run
  std::optional<std::int64_t> total_;
  std::string authAnswer_, stop_, fatal_, failure_;
  std::int64_t lastDone_ = -1, lastOf_ = -1;
  std::int64_t answeredInRound_ = 0;  // records of the last round, cached ones included
  std::size_t newInRound_ = 0;        // photos first answered in the last round
  int pending_ = 0;                   // records stored since the last commit
  bool interrupted_ = false, userDeadline_ = false, noProgress_ = false;
  double roundSeconds_;
  int idleRounds_ = 0;
  std::optional<Unscanned> diagnosis_;  // photodupes' own look, after a round that stalled or made no progress
};

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

int runScan(Catalog& catalog, const ScanRequest& req, std::FILE* err) { return Scan(catalog, req, err).run(); }

}  // namespace photodupes
