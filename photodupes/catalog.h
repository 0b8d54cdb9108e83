// The catalog: what photodupes knows about one photo library (or one set of
// folders), kept in an SQLite database file between runs.
//
// - One file per library, under $XDG_STATE_HOME/photodupes/ (else
//   ~/.local/state/photodupes/), or wherever --catalog says.
// - Versioned schema: the database carries our application id and a schema
//   version (PRAGMA application_id / user_version). A file that is not ours
//   (told from its first bytes, before SQLite opens it, so another
//   program's database is never touched), one written by a newer
//   photodupes, or a damaged one is refused with one line naming the file;
//   it is never replaced or repaired, and nothing is created beside it.
// - A new catalog is made whole under another name and then linked into
//   place, so its name never holds a half-made one.
// - Records are written in transactions (write-ahead log), so a process
//   killed at any moment loses at most the open transaction.
// - One run at a time: a run holds an advisory lock on "<file>.lock" beside
//   the file itself, whatever path names it (exclusive to change the
//   catalog, shared to read it). A second run waits up to `lockWait` and
//   then fails with a clear message. A reader on storage it may not write
//   opens the catalog read-only, without a lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "photodupes/decisions.h"
#include "photodupes/keeper.h"

struct sqlite3;
struct sqlite3_stmt;

namespace photodupes {

// Every failure of the catalog; what() names the file and what to do.
class CatalogError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Who a file is and what state it is in, from stat(2): what tells that a
// file is unchanged since it was fingerprinted. Anything that rewrites a
// file changes its change time, even when size and modification time are
// set back.
struct FileStat {
  std::uint64_t dev = 0, ino = 0;
  std::int64_t size = 0, mtimeNs = 0, ctimeNs = 0;
  bool operator==(const FileStat&) const = default;
};

// One photo as the catalog keeps it.
struct Photo {
  std::int64_t row = 0;           // the catalog's number for the photo (what a page names it by); 0 when not stored
  std::string id;                 // library identifier; for folder sets, the file path
  std::string path;               // full path of the file (bytes, not necessarily UTF-8)
  std::string name;               // file name for display
  std::string state = "unknown";  // "local", "cloud" or "unknown"
  std::string err;                // failure code when not usable
  std::string sha;                // SHA-256 of the file, empty when unknown
  std::optional<std::uint64_t> dhash;
  std::int64_t w = 0, h = 0, bytes = 0, created = 0, mod = 0;
  std::string thumb;  // base64 JPEG, at most 256 pixels a side; may be empty
  // More difference hashes of the thumbnail (see candidates.h); nothing
  // when not computed yet (a catalog from before they existed).
  std::optional<std::vector<std::uint64_t>> extraHashes;
  std::optional<std::vector<std::uint64_t>> cornerHashes;  // likewise, of the corner crops
  // The file as it was when its fingerprints were taken: nothing when not
  // known (a catalog from before it was kept, or a file that changed while
  // it was read), and then the file counts as changed.
  std::optional<FileStat> stat;
  std::optional<ThumbFacts> facts;  // of the stored thumbnail; nothing when not computed yet

  // Has the fingerprints grouping needs.
  bool usable() const { return !sha.empty() && dhash.has_value(); }
};

// One file of a batch moved to the Trash, as the journal records it.
struct TrashEntry {
  std::int64_t entry = 0, batch = 0;
  std::string photoId;            // the catalog photo it was (empty for a raw or video moved with it)
  std::string path;               // where it was
  std::string state;              // "planned", "moved", "restored", "skipped", "abandoned"
  std::string reason;             // why skipped, or why undo left it
  std::string trashFile, trashInfo;  // its place in the Trash (planned and later)
  std::optional<FileStat> before;    // the file as checked before the move
  std::optional<FileStat> after;     // the file in the Trash right after the move
  std::int64_t bytes = 0;
};

struct TrashBatch {
  std::int64_t batch = 0, started = 0;  // started: seconds since the epoch
  std::int64_t moved = 0, restored = 0, skipped = 0;  // entries in each state now
};

struct RunCounts {
  std::int64_t scanned = 0;  // fingerprinted in this run
  std::int64_t cached = 0;   // known already, unchanged
  std::int64_t failed = 0;   // answered with a failure
};

class Catalog {
 public:
  // 2 added photos.extra_hashes, 3 photos.corner_hashes, 4 the file's
  // stat and the thumbnail's facts, and the table of measured distances, 5
  // the user's decisions, reference folders and the Trash journal; a
  // catalog of an older schema opened for writing gains what it lacks
  // (empty, filled in by the next scan) in one transaction, one opened for
  // reading is read as it is.
  static constexpr int kSchemaVersion = 5;
  static constexpr std::int32_t kApplicationId = 0x50447570;  // "PDup"

  enum class Access { kRead, kWrite };
  // kFull reads the whole file to find damage (PRAGMA quick_check) before
  // anything is read or written: every run's first open. kHeader checks the
  // header, the schema version and the kind alone: for a process that opens
  // the same catalog again and again (the review page, per request; a
  // quick_check of a catalog of 12,500 photos costs a tenth of a second or
  // more) after one kFull open.
  enum class Check { kFull, kHeader };

  // Opens (with kWrite, creates when missing) the catalog at `file` for the
  // library or folder set `source` of kind `kind` ("library" or "folders").
  // Throws CatalogError.
  static std::unique_ptr<Catalog> open(const std::string& file, const std::string& kind, const std::string& source,
                                       Access access,
                                       std::chrono::milliseconds lockWait = std::chrono::milliseconds(2000),
                                       Check check = Check::kFull);
  // The source of kind `kind` a catalog file belongs to; nothing when it
  // belongs to another kind. Throws CatalogError as open() does.
  static std::optional<std::string> sourceOf(const std::string& file, const std::string& kind);

  ~Catalog();
  Catalog(const Catalog&) = delete;
  Catalog& operator=(const Catalog&) = delete;

  const std::string& file() const { return file_; }
  bool writable() const { return writable_; }
  // Can take what is derived from what it holds (thumbnail hashes and
  // facts, measured distances) even when opened for reading: its schema is
  // current and its file may be written. Such rows only spare work later.
  bool canStore() const;

  // Transactions: records written between begin() and commit() land together.
  void begin();
  void commit();

  // A new run; its number marks every photo the run sees.
  std::int64_t startRun();
  void finishRun(std::int64_t run, const std::string& outcome, const RunCounts& counts);

  // A freshly fingerprinted photo (replaces what was known).
  void putPhoto(const Photo& photo, std::int64_t run);
  // The photo is unchanged since its fingerprints were taken: mark it seen,
  // refresh what the answer carries. False when the catalog does not know it.
  bool markUnchanged(const std::string& id, std::int64_t bytes, std::int64_t mod, std::int64_t created,
                     const std::string& name, std::int64_t run);
  // Marks a known photo (also one that could not be read) seen by `run`.
  // False when the catalog does not know it.
  bool markSeen(const std::string& id, std::int64_t run);
  // Photos not seen by `run` left the library: forget them. Returns how many.
  std::int64_t dropUnseen(std::int64_t run);

  // Replaces a photo's extra and corner hashes and thumbnail facts with
  // those of `photo` (a missing set is stored as unknown).
  void updateThumbHashes(const Photo& photo);
  // Replaces what is known of a photo's file (nothing: unknown).
  void updateStat(const std::string& id, const std::optional<FileStat>& stat);

  // Feature-print distances measured between two contents (by SHA-256, in
  // either order) by one build of the measuring program (`measurer`). Empty
  // on a catalog of an older schema.
  struct Distance {
    std::string a, b;
    float dist = 0;
  };
  std::vector<Distance> distances(const std::string& measurer) const;
  // Stores distances; false when the catalog cannot take them (an older
  // schema, or a file it may not write), which only costs measuring again.
  bool putDistances(const std::string& measurer, const std::vector<Distance>& distances);

  // Every photo, in identifier order (thumbnails only when asked for).
  std::vector<Photo> photos(bool withThumbs) const;
  std::optional<Photo> photo(const std::string& id, bool withThumb) const;
  // By the catalog's number (Photo::row). A photo stored again after its
  // file changed gets a new number.
  std::optional<Photo> photoByRow(std::int64_t row, bool withThumb) const;

  // The user's decisions (decisions.h); none on a catalog of an older schema.
  // Each setter writes at once (in its own transaction unless one is open).
  Decisions decisions() const;
  // The pair of contents is (not) duplicates; for a group, call it for
  // every pair of its members.
  void setNotDuplicates(const std::string& shaA, const std::string& shaB, bool notDuplicates);
  // The photo's choice on its current content; kNone forgets it.
  void setChoice(const Photo& photo, Choice choice);
  // Replaces the reference folders (relative to the root; see
  // referenceFolder); an empty list clears them.
  void setKeepIn(const std::vector<std::string>& folders);

  // The Trash journal. Its commits are synchronous (synchronous=FULL), so a
  // file's "planned" row is on disk before the file moves.
  std::int64_t startBatch();  // outside a transaction
  // Adds (entry 0) or updates an entry; returns its number.
  std::int64_t journal(const TrashEntry& entry);
  std::vector<TrashEntry> journalOf(std::int64_t batch) const;
  // Entries now "planned" or "moved", of every batch.
  std::vector<TrashEntry> inTrash() const;
  std::vector<TrashBatch> batches() const;  // newest first

  std::optional<std::string> meta(const std::string& key) const;
  void setMeta(const std::string& key, const std::string& value);

  // Raw SQL for tests and tools; throws CatalogError.
  void exec(const std::string& sql);

 private:
  Catalog(std::string file, sqlite3* db, int lockFd);
  static std::unique_ptr<Catalog> openFile(const std::string& file, Access access, std::chrono::milliseconds lockWait,
                                           const std::string& kind, const std::string& source, Check check);
  static void create(const std::string& file, const std::string& kind, const std::string& source);
  void initialize(const std::string& kind, const std::string& source);
  std::string columns(bool withThumb) const;
  [[noreturn]] void fail(const std::string& what) const;

  std::string file_;
  sqlite3* db_ = nullptr;
  int lockFd_ = -1;
  bool writable_ = false;
  int version_ = kSchemaVersion;
  sqlite3_stmt* journalStatements_[2] = {nullptr, nullptr};  // insert, update
};

// Tells a long-lived process (the review page) whether anyone changed a
// catalog since it last looked, without taking the catalog's lock: an
// SQLite connection of its own, kept open between looks with no transaction
// and no lock, so scans, moves and undos in other processes run as if it
// were not there. SQLite's data_version on that connection changes with
// every transaction another connection commits (any process, any table);
// the file's identity counts too, so a catalog replaced under the same
// name is a change.
class CatalogWatch {
 public:
  explicit CatalogWatch(std::string file);
  ~CatalogWatch();
  CatalogWatch(const CatalogWatch&) = delete;
  CatalogWatch& operator=(const CatalogWatch&) = delete;

  // Equal to the stamp of the previous look exactly when nothing was
  // committed to the catalog between the two looks by a connection other
  // than this one (which never writes). Where the connection cannot be had
  // (no catalog there, read-only storage where SQLite cannot open a
  // write-ahead-log database without writing), the stamp is made of the
  // stats of the file and its log instead.
  std::string stamp();

 private:
  std::string file_;
  sqlite3* db_ = nullptr;
  std::uint64_t dev_ = 0, ino_ = 0;
  std::uint64_t opens_ = 0;  // connections opened so far: readings of two connections never compare equal
};

// The folder catalogs live in: $XDG_STATE_HOME/photodupes, else
// ~/.local/state/photodupes.
std::string stateDirectory();

// The default catalog file of a source (a library folder, or a set of
// folders): a readable stem from its last folder name plus a digest of the
// whole source, so that two libraries never share a file.
std::string defaultCatalogFile(const std::string& kind, const std::string& source);

}  // namespace photodupes
