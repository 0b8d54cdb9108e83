#include "photodupes/catalog.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "imaging/digest.h"

namespace photodupes {
namespace {

namespace fs = std::filesystem;

// A prepared statement that finalizes itself.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) != SQLITE_OK) st_ = nullptr;
  }
  // One the catalog keeps prepared (`cached`, prepared on first use): reset
  // when done with, finalized by the catalog.
  Statement(sqlite3* db, sqlite3_stmt*& cached, const char* sql) : db_(db), borrowed_(true) {
    if (!cached && sqlite3_prepare_v2(db, sql, -1, &cached, nullptr) != SQLITE_OK) cached = nullptr;
    st_ = cached;
  }
  ~Statement() {
    if (!borrowed_) sqlite3_finalize(st_);
    else if (st_) reset();
  }
  bool ok() const { return st_ != nullptr; }
  Statement& text(int i, const std::string& v) {
    sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& blob(int i, const std::string& v) {
    // An empty blob, not NULL (which a null data pointer would bind).
    if (v.empty())
      sqlite3_bind_zeroblob(st_, i, 0);
    else
      sqlite3_bind_blob(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& integer(int i, std::int64_t v) {
    sqlite3_bind_int64(st_, i, v);
    return *this;
  }
  Statement& null(int i) {
    sqlite3_bind_null(st_, i);
    return *this;
  }
  int step() { return sqlite3_step(st_); }
  void reset() {
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
  }
  sqlite3_stmt* raw() const { return st_; }
  std::string columnText(int i) const {
    const void* p = sqlite3_column_blob(st_, i);
    return p ? std::string(static_cast<const char*>(p), sqlite3_column_bytes(st_, i)) : std::string();
  }
  std::int64_t columnInt(int i) const { return sqlite3_column_int64(st_, i); }
  bool columnNull(int i) const { return sqlite3_column_type(st_, i) == SQLITE_NULL; }

 private:
  sqlite3* db_;
  sqlite3_stmt* st_ = nullptr;
  bool borrowed_ = false;
};

// The tables as schema 3 made them; a new catalog then takes the later
// migrations too, so each table is written down once.
const char* kSchema = R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE photos(
  id TEXT PRIMARY KEY,
  path BLOB NOT NULL,
  name TEXT NOT NULL DEFAULT '',
  state TEXT NOT NULL,
  err TEXT NOT NULL DEFAULT '',
  sha TEXT,
  dhash INTEGER,
  w INTEGER NOT NULL DEFAULT 0,
  h INTEGER NOT NULL DEFAULT 0,
  bytes INTEGER NOT NULL DEFAULT 0,
  created INTEGER NOT NULL DEFAULT 0,
  mod INTEGER NOT NULL DEFAULT 0,
  thumb TEXT NOT NULL DEFAULT '',
  seen INTEGER NOT NULL,
  extra_hashes BLOB,
  corner_hashes BLOB);
CREATE TABLE runs(
  run INTEGER PRIMARY KEY,
  started INTEGER NOT NULL,
  ended INTEGER,
  outcome TEXT,
  scanned INTEGER NOT NULL DEFAULT 0,
  cached INTEGER NOT NULL DEFAULT 0,
  failed INTEGER NOT NULL DEFAULT 0);
)sql";

// Schema 1 to 2: the extra hashes, unknown for every photo so far.
const char* kMigrateTo2 = "ALTER TABLE photos ADD COLUMN extra_hashes BLOB; PRAGMA user_version=2;";
// Schema 2 to 3: the corner hashes, unknown for every photo so far.
const char* kMigrateTo3 = "ALTER TABLE photos ADD COLUMN corner_hashes BLOB; PRAGMA user_version=3;";
// Schema 3 to 4: the file's stat and the thumbnail's facts, unknown so far,
// and the measured distances.
const char* kMigrateTo4 = R"sql(
ALTER TABLE photos ADD COLUMN st_dev INTEGER; ALTER TABLE photos ADD COLUMN st_ino INTEGER;
ALTER TABLE photos ADD COLUMN st_size INTEGER; ALTER TABLE photos ADD COLUMN st_mtime_ns INTEGER;
ALTER TABLE photos ADD COLUMN st_ctime_ns INTEGER;
ALTER TABLE photos ADD COLUMN content_share REAL; ALTER TABLE photos ADD COLUMN colour INTEGER;
CREATE TABLE distances(
  measurer TEXT NOT NULL, a TEXT NOT NULL, b TEXT NOT NULL, dist REAL NOT NULL,
  PRIMARY KEY(measurer, a, b)) WITHOUT ROWID;
PRAGMA user_version=4;)sql";
// Schema 4 to 5: the user's decisions, reference folders and the Trash
// journal, all empty so far.
const char* kMigrateTo5 = R"sql(
CREATE TABLE not_duplicates(a TEXT NOT NULL, b TEXT NOT NULL, PRIMARY KEY(a, b)) WITHOUT ROWID;
CREATE TABLE choices(id TEXT PRIMARY KEY, sha TEXT NOT NULL, choice TEXT NOT NULL);
CREATE TABLE keep_in(folder BLOB PRIMARY KEY);
CREATE TABLE trash_batches(batch INTEGER PRIMARY KEY, started INTEGER NOT NULL);
CREATE TABLE trash_files(
  entry INTEGER PRIMARY KEY, batch INTEGER NOT NULL, photo_id TEXT NOT NULL DEFAULT '', path BLOB NOT NULL,
  state TEXT NOT NULL, reason TEXT NOT NULL DEFAULT '', trash_file BLOB, trash_info BLOB,
  bytes INTEGER NOT NULL DEFAULT 0,
  b_dev INTEGER, b_ino INTEGER, b_size INTEGER, b_mtime_ns INTEGER, b_ctime_ns INTEGER,
  a_dev INTEGER, a_ino INTEGER, a_size INTEGER, a_mtime_ns INTEGER, a_ctime_ns INTEGER);
CREATE INDEX trash_files_by_state ON trash_files(state, batch);
PRAGMA user_version=5;)sql";

// Extra or corner hashes as a blob: 8 bytes each, least significant first.
std::string hashesBlob(const std::vector<std::uint64_t>& hashes) {
  std::string out;
  for (std::uint64_t h : hashes)
    for (int b = 0; b < 8; ++b) out.push_back(static_cast<char>(h >> (8 * b)));
  return out;
}

std::vector<std::uint64_t> hashesOfBlob(const std::string& blob) {
  std::vector<std::uint64_t> out;
  for (std::size_t k = 0; k + 8 <= blob.size(); k += 8) {
    std::uint64_t h = 0;
    for (int b = 7; b >= 0; --b) h = h << 8 | static_cast<unsigned char>(blob[k + b]);
    out.push_back(h);
  }
  return out;
}

// A set of hashes, or NULL when not computed.
void bindHashes(Statement& st, int i, const std::optional<std::vector<std::uint64_t>>& hashes) {
  if (hashes)
    st.blob(i, hashesBlob(*hashes));
  else
    st.null(i);
}

void bindStat(Statement& st, int i, const std::optional<FileStat>& s) {
  if (!s) {
    for (int k = 0; k < 5; ++k) st.null(i + k);
    return;
  }
  st.integer(i, static_cast<std::int64_t>(s->dev)).integer(i + 1, static_cast<std::int64_t>(s->ino));
  st.integer(i + 2, s->size).integer(i + 3, s->mtimeNs).integer(i + 4, s->ctimeNs);
}

void bindFacts(Statement& st, int i, const std::optional<ThumbFacts>& f) {
  if (!f) {
    st.null(i).null(i + 1);
    return;
  }
  sqlite3_bind_double(st.raw(), i, f->contentShare);
  st.integer(i + 1, f->colour ? 1 : 0);
}

std::int64_t nowSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

// The lock file of a catalog: beside the file itself, whatever path names it
// (a symbolic link to the catalog locks the same file). -1 where a reader
// cannot create one (read-only storage): nobody can change the catalog there.
int lockCatalog(const std::string& file, Catalog::Access access, std::chrono::milliseconds wait) {
  std::error_code ec;
  const fs::path real = fs::canonical(file, ec);
  const std::string lockFile = (ec ? fs::path(file) : real).string() + ".lock";
  int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && access == Catalog::Access::kRead && (errno == EROFS || errno == EACCES))
    fd = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && access == Catalog::Access::kRead &&
      (errno == EROFS || errno == EACCES || errno == EPERM || errno == ENOENT || errno == ENOSYS))
    return -1;
  if (fd < 0) throw CatalogError("cannot open the lock file " + lockFile + ": " + std::strerror(errno));
  const int op = (access == Catalog::Access::kWrite ? LOCK_EX : LOCK_SH) | LOCK_NB;
  const auto until = std::chrono::steady_clock::now() + wait;
  while (flock(fd, op) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      ::close(fd);
      throw CatalogError("cannot lock the catalog " + file + ": " + std::strerror(errno));
    }
    if (std::chrono::steady_clock::now() >= until) {
      ::close(fd);
      throw CatalogError("the catalog " + file +
                         " is in use by another photodupes run; wait for it to finish and try again");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return fd;
}

// What a file's first bytes say about it, read without SQLite: opening a
// database that is not ours for writing could change it (SQLite checkpoints
// and removes another program's write-ahead log when it closes).
enum class FileKind { kMissing, kOurs, kBlank, kNotOurs };
struct Inspection {
  FileKind kind = FileKind::kMissing;
  std::string why;  // for kNotOurs
};

Inspection inspect(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return {FileKind::kMissing, ""};
    return {FileKind::kNotOurs, std::string("cannot be read: ") + std::strerror(errno)};
  }
  struct stat st;
  unsigned char h[108] = {};
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  const ssize_t got = regular ? pread(fd, h, sizeof h, 0) : 0;
  ::close(fd);
  if (!regular) return {FileKind::kNotOurs, "not a regular file"};
  if (st.st_size == 0) return {FileKind::kNotOurs, "an empty file"};
  if (got < static_cast<ssize_t>(sizeof h) || std::memcmp(h, "SQLite format 3", 16) != 0)
    return {FileKind::kNotOurs, "not an SQLite database"};
  auto be32 = [&](int at) {
    return static_cast<std::uint32_t>(h[at]) << 24 | static_cast<std::uint32_t>(h[at + 1]) << 16 |
           static_cast<std::uint32_t>(h[at + 2]) << 8 | h[at + 3];
  };
  const std::uint32_t appId = be32(68);
  if (appId == static_cast<std::uint32_t>(Catalog::kApplicationId)) return {FileKind::kOurs, ""};
  if (appId != 0) return {FileKind::kNotOurs, "another program's database"};
  // Application id 0: a database created and never filled (one page, no
  // table on it, no write-ahead log beside it), else someone else's.
  struct stat wal;
  const bool walData = ::stat((file + "-wal").c_str(), &wal) == 0 && wal.st_size > 0;
  const unsigned cells = static_cast<unsigned>(h[103]) << 8 | h[104];
  if (be32(28) <= 1 && cells == 0 && !walData) return {FileKind::kBlank, ""};
  return {FileKind::kNotOurs, "another program's database"};
}

CatalogError notOurs(const std::string& file, const std::string& why) {
  return CatalogError(file + " is not a usable photodupes catalog (" + why +
                      "); it was left untouched: move it away, or choose another file with --catalog");
}

// A file name SQLite takes as a URI, for opening read-only storage.
std::string fileUri(const std::string& file) {
  std::string uri = "file:";
  const std::string absolute = fs::absolute(file).string();
  for (unsigned char c : absolute) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      uri += static_cast<char>(c);
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      uri += buf;
    }
  }
  return uri;
}

}  // namespace

Catalog::Catalog(std::string file, sqlite3* db, int lockFd) : file_(std::move(file)), db_(db), lockFd_(lockFd) {}

Catalog::~Catalog() {
  for (sqlite3_stmt* st : journalStatements_) sqlite3_finalize(st);
  sqlite3_close_v2(db_);
  if (lockFd_ >= 0) ::close(lockFd_);
}

void Catalog::fail(const std::string& what) const {
  throw CatalogError("catalog " + file_ + ": " + what + ": " + sqlite3_errmsg(db_));
}

std::unique_ptr<Catalog> Catalog::open(const std::string& file, const std::string& kind, const std::string& source,
                                       Access access, std::chrono::milliseconds lockWait, Check check) {
  auto c = openFile(file, access, lockWait, kind, source, check);
  auto haveKind = c->meta("kind");
  auto haveSource = c->meta("source");
  if (haveKind != kind || haveSource != source)
    throw CatalogError("the catalog " + file + " belongs to " + haveKind.value_or("?") + " " +
                       haveSource.value_or("?") + ", not to " + kind + " " + source +
                       "; choose the right file with --catalog");
  return c;
}

std::optional<std::string> Catalog::sourceOf(const std::string& file, const std::string& kind) {
  auto c = openFile(file, Access::kRead, std::chrono::milliseconds(2000), "", "", Check::kFull);
  if (c->meta("kind") != kind) return std::nullopt;
  return c->meta("source");
}

std::unique_ptr<Catalog> Catalog::openFile(const std::string& file, Access access, std::chrono::milliseconds lockWait,
                                           const std::string& kind, const std::string& source, Check fileCheck) {
  Inspection found = inspect(file);
  if (found.kind == FileKind::kMissing && access == Access::kRead)
    throw CatalogError("no catalog at " + file + " yet: run `photodupes scan` first");
  if (found.kind == FileKind::kNotOurs) throw notOurs(file, found.why);
  if (found.kind == FileKind::kMissing) create(file, kind, source);
  if (found.kind == FileKind::kBlank && access == Access::kRead)
    throw CatalogError("the catalog " + file + " is empty: run `photodupes scan` first");

  const int lockFd = lockCatalog(file, access, lockWait);
  // A reader that may not write the catalog or its folder (read-only
  // storage, another user's folder) opens it read-only, as a file that
  // does not change.
  const std::string folder = fs::path(file).parent_path().empty() ? "." : fs::path(file).parent_path().string();
  const bool canWrite = ::access(file.c_str(), W_OK) == 0 && ::access(folder.c_str(), W_OK) == 0;
  sqlite3* db = nullptr;
  int rc;
  if (access == Access::kRead && !canWrite)
    rc = sqlite3_open_v2((fileUri(file) + "?immutable=1").c_str(), &db,
                         SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
  else
    rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close_v2(db);
    if (lockFd >= 0) ::close(lockFd);
    throw CatalogError("cannot open the catalog " + file + ": " + msg);
  }
  std::unique_ptr<Catalog> c(new Catalog(file, db, lockFd));
  sqlite3_busy_timeout(db, static_cast<int>(lockWait.count()));

  auto single = [&](const char* sql) -> std::optional<std::string> {
    Statement st(db, sql);
    if (!st.ok()) return std::nullopt;
    int step = st.step();
    if (step == SQLITE_ROW) return st.columnText(0);
    if (step == SQLITE_DONE) return std::string();
    return std::nullopt;
  };
  auto check = fileCheck == Check::kFull ? single("PRAGMA quick_check") : std::optional<std::string>("ok");
  if (!check || *check != "ok") {
    // One line: the first problem found, however many there are.
    std::string first = check ? check->substr(0, check->find('\n')) : std::string(sqlite3_errmsg(db));
    throw CatalogError(file + " is damaged (" + first +
                       "); it was left untouched: move it away (the next scan starts a new catalog), or choose "
                       "another file with --catalog");
  }
  auto appId = single("PRAGMA application_id");
  auto version = single("PRAGMA user_version");
  auto tables = single("SELECT count(*) FROM sqlite_master");
  if (!appId || !version || !tables) throw notOurs(file, sqlite3_errmsg(db));
  const bool blank = *appId == "0" && *version == "0" && *tables == "0";
  if (!blank && *appId != std::to_string(kApplicationId)) throw notOurs(file, "another program's database");
  if (!blank && std::stoi(*version) > kSchemaVersion)
    throw CatalogError(file + " was written by a newer photodupes (schema " + *version +
                       "); use that version, or choose another file with --catalog");
  if (!blank && std::stoi(*version) < 1) throw notOurs(file, "unknown schema version " + *version);

  c->writable_ = access == Access::kWrite;
  c->version_ = blank ? kSchemaVersion : std::stoi(*version);
  if (access == Access::kWrite) {
    c->exec("PRAGMA journal_mode=WAL");
    c->exec("PRAGMA synchronous=NORMAL");
  }
  if (blank) c->initialize(kind, source);
  if (access == Access::kWrite && c->version_ < kSchemaVersion) {
    c->begin();
    if (c->version_ < 2) c->exec(kMigrateTo2);
    if (c->version_ < 3) c->exec(kMigrateTo3);
    if (c->version_ < 4) c->exec(kMigrateTo4);
    c->exec(kMigrateTo5);
    c->commit();
    c->version_ = kSchemaVersion;
  }
  return c;
}

void Catalog::initialize(const std::string& kind, const std::string& source) {
  begin();
  exec(kSchema);
  exec(kMigrateTo4);
  exec(kMigrateTo5);
  exec("PRAGMA application_id=" + std::to_string(kApplicationId));
  exec("PRAGMA user_version=" + std::to_string(kSchemaVersion));
  setMeta("kind", kind);
  setMeta("source", source);
  commit();
}

void Catalog::create(const std::string& file, const std::string& kind, const std::string& source) {
  // Made whole under another name, then linked into place: the name never
  // holds a half-made catalog, and a file another run put there first wins.
  const fs::path target(file);
  std::error_code ec;
  if (!target.parent_path().empty()) {
    fs::create_directories(target.parent_path(), ec);
    if (ec) throw CatalogError("cannot create the folder of " + file + ": " + ec.message());
  }
  const std::string temp = file + ".new-" + std::to_string(::getpid());
  ::unlink(temp.c_str());
  {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(temp.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
      sqlite3_close_v2(db);
      ::unlink(temp.c_str());
      throw CatalogError("cannot create the catalog " + file + ": " + msg);
    }
    Catalog made(temp, db, -1);
    try {
      made.exec("PRAGMA journal_mode=WAL");
      made.initialize(kind, source);
    } catch (...) {
      ::unlink(temp.c_str());
      throw;
    }
  }
  const int linked = ::link(temp.c_str(), file.c_str());
  const int err = errno;
  ::unlink(temp.c_str());
  if (linked != 0 && err != EEXIST) throw CatalogError("cannot create the catalog " + file + ": " + std::strerror(err));
}

void Catalog::exec(const std::string& sql) {
  char* err = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : "unknown error";
    sqlite3_free(err);
    throw CatalogError("catalog " + file_ + ": " + msg);
  }
}

void Catalog::begin() { exec("BEGIN IMMEDIATE"); }
void Catalog::commit() { exec("COMMIT"); }

std::int64_t Catalog::startRun() {
  Statement st(db_, "INSERT INTO runs(started) VALUES(?)");
  if (!st.ok() || st.integer(1, nowSeconds()).step() != SQLITE_DONE) fail("cannot start a run");
  return sqlite3_last_insert_rowid(db_);
}

void Catalog::finishRun(std::int64_t run, const std::string& outcome, const RunCounts& counts) {
  Statement st(db_, "UPDATE runs SET ended=?, outcome=?, scanned=?, cached=?, failed=? WHERE run=?");
  st.integer(1, nowSeconds()).text(2, outcome).integer(3, counts.scanned).integer(4, counts.cached);
  if (!st.ok() || st.integer(5, counts.failed).integer(6, run).step() != SQLITE_DONE) fail("cannot finish a run");
}

void Catalog::putPhoto(const Photo& p, std::int64_t run) {
  Statement st(db_,
               "INSERT OR REPLACE INTO photos(id, path, name, state, err, sha, dhash, w, h, bytes, created, mod, "
               "thumb, seen, extra_hashes, corner_hashes, st_dev, st_ino, st_size, st_mtime_ns, st_ctime_ns, content_share, "
               "colour) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
  st.text(1, p.id).blob(2, p.path).text(3, p.name).text(4, p.state).text(5, p.err);
  if (p.sha.empty())
    st.null(6);
  else
    st.text(6, p.sha);
  if (p.dhash)
    st.integer(7, static_cast<std::int64_t>(*p.dhash));
  else
    st.null(7);
  st.integer(8, p.w).integer(9, p.h).integer(10, p.bytes).integer(11, p.created).integer(12, p.mod);
  st.text(13, p.thumb).integer(14, run);
  bindHashes(st, 15, p.extraHashes);
  bindHashes(st, 16, p.cornerHashes);
  bindStat(st, 17, p.stat);
  bindFacts(st, 22, p.facts);
  if (!st.ok() || st.step() != SQLITE_DONE) fail("cannot store " + p.id);
}

void Catalog::updateStat(const std::string& id, const std::optional<FileStat>& stat) {
  if (version_ < 4) return;
  Statement st(db_, "UPDATE photos SET st_dev=?, st_ino=?, st_size=?, st_mtime_ns=?, st_ctime_ns=? WHERE id=?");
  if (!st.ok()) fail("cannot update " + id);
  bindStat(st, 1, stat);
  if (st.text(6, id).step() != SQLITE_DONE) fail("cannot update " + id);
}

std::vector<Catalog::Distance> Catalog::distances(const std::string& measurer) const {
  std::vector<Distance> out;
  if (version_ < 4) return out;
  Statement st(db_, "SELECT a, b, dist FROM distances WHERE measurer=?");
  if (!st.ok()) fail("cannot read distances");
  st.text(1, measurer);
  int rc;
  while ((rc = st.step()) == SQLITE_ROW)
    out.push_back({st.columnText(0), st.columnText(1), static_cast<float>(sqlite3_column_double(st.raw(), 2))});
  if (rc != SQLITE_DONE) fail("cannot read distances");
  return out;
}

bool Catalog::canStore() const { return version_ >= kSchemaVersion && sqlite3_db_readonly(db_, "main") == 0; }

bool Catalog::putDistances(const std::string& measurer, const std::vector<Distance>& distances) {
  if (!canStore() || distances.empty()) return false;
  try {
    begin();
    Statement st(db_, "INSERT OR REPLACE INTO distances(measurer, a, b, dist) VALUES(?,?,?,?)");
    if (!st.ok()) fail("cannot store distances");
    for (const Distance& d : distances) {
      const bool inOrder = d.a < d.b;
      st.text(1, measurer).text(2, inOrder ? d.a : d.b).text(3, inOrder ? d.b : d.a);
      sqlite3_bind_double(st.raw(), 4, d.dist);
      if (st.step() != SQLITE_DONE) fail("cannot store distances");
      st.reset();
    }
    commit();
    return true;
  } catch (const CatalogError&) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }
}

bool Catalog::markUnchanged(const std::string& id, std::int64_t bytes, std::int64_t mod, std::int64_t created,
                            const std::string& name, std::int64_t run) {
  Statement st(db_, "UPDATE photos SET bytes=?, mod=?, created=?, name=?, seen=? WHERE id=? AND sha IS NOT NULL");
  st.integer(1, bytes).integer(2, mod).integer(3, created).text(4, name).integer(5, run).text(6, id);
  if (!st.ok() || st.step() != SQLITE_DONE) fail("cannot update " + id);
  return sqlite3_changes(db_) > 0;
}

bool Catalog::markSeen(const std::string& id, std::int64_t run) {
  Statement st(db_, "UPDATE photos SET seen=? WHERE id=?");
  if (!st.ok() || st.integer(1, run).text(2, id).step() != SQLITE_DONE) fail("cannot update " + id);
  return sqlite3_changes(db_) > 0;
}

std::int64_t Catalog::dropUnseen(std::int64_t run) {
  Statement st(db_, "DELETE FROM photos WHERE seen<>?");
  if (!st.ok() || st.integer(1, run).step() != SQLITE_DONE) fail("cannot drop photos that left");
  return sqlite3_changes(db_);
}

void Catalog::updateThumbHashes(const Photo& p) {
  Statement st(db_, "UPDATE photos SET extra_hashes=?, corner_hashes=?, content_share=?, colour=? WHERE id=?");
  if (!st.ok()) fail("cannot update " + p.id);
  bindHashes(st, 1, p.extraHashes);
  bindHashes(st, 2, p.cornerHashes);
  bindFacts(st, 3, p.facts);
  if (st.text(5, p.id).step() != SQLITE_DONE) fail("cannot update " + p.id);
}

std::string Catalog::columns(bool withThumb) const {
  // A catalog of an older schema opened for reading lacks the newer hashes.
  return std::string("id, path, name, state, err, sha, dhash, w, h, bytes, created, mod, ") +
         (version_ >= 2 ? "extra_hashes" : "NULL") + (version_ >= 3 ? ", corner_hashes" : ", NULL") +
         (version_ >= 4 ? ", st_dev, st_ino, st_size, st_mtime_ns, st_ctime_ns, content_share, colour"
                        : ", NULL, NULL, NULL, NULL, NULL, NULL, NULL") +
         ", rowid" + (withThumb ? ", thumb" : "");
}

namespace {

Photo photoFrom(const Statement& st, bool withThumb) {
  Photo p;
  p.id = st.columnText(0);
  p.path = st.columnText(1);
  p.name = st.columnText(2);
  p.state = st.columnText(3);
  p.err = st.columnText(4);
  p.sha = st.columnText(5);
  if (!st.columnNull(6)) p.dhash = static_cast<std::uint64_t>(st.columnInt(6));
  p.w = st.columnInt(7);
  p.h = st.columnInt(8);
  p.bytes = st.columnInt(9);
  p.created = st.columnInt(10);
  p.mod = st.columnInt(11);
  if (!st.columnNull(12)) p.extraHashes = hashesOfBlob(st.columnText(12));
  if (!st.columnNull(13)) p.cornerHashes = hashesOfBlob(st.columnText(13));
  if (!st.columnNull(14) && !st.columnNull(15) && !st.columnNull(17) && !st.columnNull(18))
    p.stat = FileStat{static_cast<std::uint64_t>(st.columnInt(14)), static_cast<std::uint64_t>(st.columnInt(15)),
                      st.columnInt(16), st.columnInt(17), st.columnInt(18)};
  if (!st.columnNull(19) && !st.columnNull(20))
    p.facts = ThumbFacts{sqlite3_column_double(st.raw(), 19), st.columnInt(20) != 0};
  p.row = st.columnInt(21);
  if (withThumb) p.thumb = st.columnText(22);
  return p;
}
}  // namespace

std::vector<Photo> Catalog::photos(bool withThumbs) const {
  std::string sql = "SELECT " + columns(withThumbs) + " FROM photos ORDER BY id";
  Statement st(db_, sql.c_str());
  if (!st.ok()) fail("cannot read photos");
  std::vector<Photo> out;
  int rc;
  while ((rc = st.step()) == SQLITE_ROW) out.push_back(photoFrom(st, withThumbs));
  if (rc != SQLITE_DONE) fail("cannot read photos");
  return out;
}

std::optional<Photo> Catalog::photo(const std::string& id, bool withThumb) const {
  std::string sql = "SELECT " + columns(withThumb) + " FROM photos WHERE id=?";
  Statement st(db_, sql.c_str());
  if (!st.ok()) fail("cannot read " + id);
  st.text(1, id);
  int rc = st.step();
  if (rc == SQLITE_ROW) return photoFrom(st, withThumb);
  if (rc != SQLITE_DONE) fail("cannot read " + id);
  return std::nullopt;
}

std::optional<Photo> Catalog::photoByRow(std::int64_t row, bool withThumb) const {
  std::string sql = "SELECT " + columns(withThumb) + " FROM photos WHERE rowid=?";
  Statement st(db_, sql.c_str());
  if (!st.ok()) fail("cannot read photo " + std::to_string(row));
  st.integer(1, row);
  int rc = st.step();
  if (rc == SQLITE_ROW) return photoFrom(st, withThumb);
  if (rc != SQLITE_DONE) fail("cannot read photo " + std::to_string(row));
  return std::nullopt;
}

namespace {

const char* choiceName(Choice c) { return c == Choice::kKeeper ? "keeper" : c == Choice::kKeep ? "keep" : ""; }

std::optional<FileStat> statAt(const Statement& st, int i) {
  for (int k = 0; k < 5; ++k)
    if (st.columnNull(i + k)) return std::nullopt;
  return FileStat{static_cast<std::uint64_t>(st.columnInt(i)), static_cast<std::uint64_t>(st.columnInt(i + 1)),
                  st.columnInt(i + 2), st.columnInt(i + 3), st.columnInt(i + 4)};
}

}  // namespace

Decisions Catalog::decisions() const {
  Decisions d;
  if (version_ < 5) return d;
  {
    Statement st(db_, "SELECT a, b FROM not_duplicates");
    if (!st.ok()) fail("cannot read decisions");
    while (st.step() == SQLITE_ROW) d.notDuplicates.emplace(st.columnText(0), st.columnText(1));
  }
  {
    Statement st(db_, "SELECT id, sha, choice FROM choices");
    if (!st.ok()) fail("cannot read decisions");
    while (st.step() == SQLITE_ROW)
      d.choices[st.columnText(0)] = {st.columnText(2) == "keeper" ? Choice::kKeeper : Choice::kKeep, st.columnText(1)};
  }
  Statement st(db_, "SELECT folder FROM keep_in ORDER BY folder");
  if (!st.ok()) fail("cannot read reference folders");
  while (st.step() == SQLITE_ROW) d.keepIn.push_back(st.columnText(0));
  return d;
}

void Catalog::setNotDuplicates(const std::string& shaA, const std::string& shaB, bool notDuplicates) {
  const auto [a, b] = shaPair(shaA, shaB);
  Statement st(db_, notDuplicates ? "INSERT OR IGNORE INTO not_duplicates(a, b) VALUES(?, ?)"
                                  : "DELETE FROM not_duplicates WHERE a=? AND b=?");
  if (!st.ok() || st.text(1, a).text(2, b).step() != SQLITE_DONE) fail("cannot store a decision");
}

void Catalog::setChoice(const Photo& photo, Choice choice) {
  if (choice == Choice::kNone) {
    Statement st(db_, "DELETE FROM choices WHERE id=?");
    if (!st.ok() || st.text(1, photo.id).step() != SQLITE_DONE) fail("cannot store a decision");
    return;
  }
  Statement st(db_, "INSERT OR REPLACE INTO choices(id, sha, choice) VALUES(?, ?, ?)");
  if (!st.ok() || st.text(1, photo.id).text(2, photo.sha).text(3, choiceName(choice)).step() != SQLITE_DONE)
    fail("cannot store a decision");
}

void Catalog::setKeepIn(const std::vector<std::string>& folders) {
  const bool own = sqlite3_get_autocommit(db_) != 0;
  if (own) begin();
  exec("DELETE FROM keep_in");
  Statement st(db_, "INSERT OR IGNORE INTO keep_in(folder) VALUES(?)");
  if (!st.ok()) fail("cannot store reference folders");
  for (const std::string& f : folders) {
    if (st.blob(1, f).step() != SQLITE_DONE) fail("cannot store reference folders");
    st.reset();
  }
  if (own) commit();
}

std::int64_t Catalog::startBatch() {
  exec("PRAGMA synchronous=FULL");
  Statement st(db_, "INSERT INTO trash_batches(started) VALUES(?)");
  if (!st.ok() || st.integer(1, nowSeconds()).step() != SQLITE_DONE) fail("cannot start a batch");
  return sqlite3_last_insert_rowid(db_);
}

std::int64_t Catalog::journal(const TrashEntry& e) {
  // Prepared once: a batch writes two rows per file.
  Statement st(db_, journalStatements_[e.entry == 0 ? 0 : 1],
               e.entry == 0 ? "INSERT INTO trash_files(batch, photo_id, path, state, reason, trash_file, trash_info, bytes, "
                          "b_dev, b_ino, b_size, b_mtime_ns, b_ctime_ns, a_dev, a_ino, a_size, a_mtime_ns, a_ctime_ns) "
                          "VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"
                        : "UPDATE trash_files SET batch=?, photo_id=?, path=?, state=?, reason=?, trash_file=?, "
                          "trash_info=?, bytes=?, b_dev=?, b_ino=?, b_size=?, b_mtime_ns=?, b_ctime_ns=?, a_dev=?, "
                          "a_ino=?, a_size=?, a_mtime_ns=?, a_ctime_ns=? WHERE entry=?");
  if (!st.ok()) fail("cannot write the Trash journal");
  st.integer(1, e.batch).text(2, e.photoId).blob(3, e.path).text(4, e.state).text(5, e.reason);
  st.blob(6, e.trashFile).blob(7, e.trashInfo).integer(8, e.bytes);
  bindStat(st, 9, e.before);
  bindStat(st, 14, e.after);
  if (e.entry != 0) st.integer(19, e.entry);
  if (st.step() != SQLITE_DONE) fail("cannot write the Trash journal");
  return e.entry != 0 ? e.entry : sqlite3_last_insert_rowid(db_);
}

namespace {
std::vector<TrashEntry> entriesOf(Statement& st) {
  std::vector<TrashEntry> out;
  while (st.step() == SQLITE_ROW) {
    TrashEntry e;
    e.entry = st.columnInt(0), e.batch = st.columnInt(1);
    e.photoId = st.columnText(2), e.path = st.columnText(3), e.state = st.columnText(4), e.reason = st.columnText(5);
    e.trashFile = st.columnText(6), e.trashInfo = st.columnText(7), e.bytes = st.columnInt(8);
    e.before = statAt(st, 9), e.after = statAt(st, 14);
    out.push_back(std::move(e));
  }
  return out;
}
constexpr const char* kEntryColumns =
    "SELECT entry, batch, photo_id, path, state, reason, trash_file, trash_info, bytes, b_dev, b_ino, b_size, "
    "b_mtime_ns, b_ctime_ns, a_dev, a_ino, a_size, a_mtime_ns, a_ctime_ns FROM trash_files ";
}  // namespace

std::vector<TrashEntry> Catalog::journalOf(std::int64_t batch) const {
  if (version_ < 5) return {};
  Statement st(db_, (std::string(kEntryColumns) + "WHERE batch=? ORDER BY entry").c_str());
  if (!st.ok()) fail("cannot read the Trash journal");
  st.integer(1, batch);
  return entriesOf(st);
}

std::vector<TrashEntry> Catalog::inTrash() const {
  if (version_ < 5) return {};
  Statement st(db_, (std::string(kEntryColumns) + "WHERE state IN ('planned', 'moved') ORDER BY entry").c_str());
  if (!st.ok()) fail("cannot read the Trash journal");
  return entriesOf(st);
}

std::vector<TrashBatch> Catalog::batches() const {
  std::vector<TrashBatch> out;
  if (version_ < 5) return out;
  Statement st(db_,
               "SELECT b.batch, b.started, count(CASE WHEN f.state='moved' THEN 1 END), "
               "count(CASE WHEN f.state='restored' THEN 1 END), count(CASE WHEN f.state='skipped' THEN 1 END) "
               "FROM trash_batches b LEFT JOIN trash_files f ON f.batch=b.batch GROUP BY b.batch ORDER BY b.batch DESC");
  if (!st.ok()) fail("cannot read the Trash journal");
  while (st.step() == SQLITE_ROW)
    out.push_back({st.columnInt(0), st.columnInt(1), st.columnInt(2), st.columnInt(3), st.columnInt(4)});
  return out;
}

std::optional<std::string> Catalog::meta(const std::string& key) const {
  Statement st(db_, "SELECT value FROM meta WHERE key=?");
  if (!st.ok()) fail("cannot read its settings");
  st.text(1, key);
  if (st.step() == SQLITE_ROW) return st.columnText(0);
  return std::nullopt;
}

void Catalog::setMeta(const std::string& key, const std::string& value) {
  Statement st(db_, "INSERT OR REPLACE INTO meta(key, value) VALUES(?, ?)");
  if (!st.ok() || st.text(1, key).text(2, value).step() != SQLITE_DONE) fail("cannot store a setting");
}

CatalogWatch::CatalogWatch(std::string file) : file_(std::move(file)) {}

CatalogWatch::~CatalogWatch() { sqlite3_close_v2(db_); }

std::string CatalogWatch::stamp() {
  struct stat st {};
  const bool present = ::stat(file_.c_str(), &st) == 0;
  if (db_ && (!present || st.st_dev != dev_ || st.st_ino != ino_)) {
    sqlite3_close_v2(db_);  // the name holds another file now, or none
    db_ = nullptr;
  }
  if (!db_ && present) {
    ++opens_;
    // Read-only: this connection never writes, so it never checkpoints or
    // removes the write-ahead log either. The file is the one stat saw
    // only if stat sees the same one after the open.
    struct stat after {};
    if (sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK ||
        ::stat(file_.c_str(), &after) != 0 || after.st_dev != st.st_dev || after.st_ino != st.st_ino) {
      sqlite3_close_v2(db_);
      db_ = nullptr;
    } else {
      dev_ = st.st_dev, ino_ = st.st_ino;
      sqlite3_busy_timeout(db_, 2000);
    }
  }
  if (db_) {
    Statement q(db_, "PRAGMA data_version");
    if (q.ok() && q.step() == SQLITE_ROW)
      return std::to_string(opens_) + ":" + std::to_string(dev_) + ":" + std::to_string(ino_) + ":" +
             std::to_string(q.columnInt(0));
  }
  sqlite3_close_v2(db_);
  db_ = nullptr;
  // No connection (no catalog there, or storage where SQLite cannot read a
  // write-ahead-log database without writing): the files' stats, which
  // anything that could write there would change.
  std::string stamp = "unwatched";
  for (const std::string& f : {file_, file_ + "-wal"}) {
    struct stat fs {};
    if (::stat(f.c_str(), &fs) != 0) {
      stamp += ":-";
      continue;
    }
    stamp += ":" + std::to_string(fs.st_dev) + "." + std::to_string(fs.st_ino) + "." + std::to_string(fs.st_size) +
             "." + std::to_string(fs.st_mtim.tv_sec) + "." + std::to_string(fs.st_mtim.tv_nsec) + "." +
             std::to_string(fs.st_ctim.tv_sec) + "." + std::to_string(fs.st_ctim.tv_nsec);
  }
  return stamp;
}

std::string stateDirectory() {
  const char* xdg = std::getenv("XDG_STATE_HOME");
  if (xdg && xdg[0] == '/') return std::string(xdg) + "/photodupes";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.local/state/photodupes";
}

std::string defaultCatalogFile(const std::string& kind, const std::string& source) {
  const std::string digest = imaging::sha256Hex(
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(source.data()), source.size()));
  std::string stem = fs::path(source.substr(0, source.find('\n'))).filename().string();
  for (char& ch : stem)
    if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '-' && ch != '_') ch = '_';
  if (stem.empty()) stem = "root";
  return stateDirectory() + "/" + kind + "-" + stem.substr(0, 40) + "-" + digest.substr(0, 12) + ".db";
}

}  // namespace photodupes
