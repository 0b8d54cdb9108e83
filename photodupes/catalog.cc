// Opening the catalog: its file checked before SQLite touches it, created
// whole, locked, its schema made or brought up to date; transactions and
// settings; where catalogs live.
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
#include "photodupes/catalog_sql.h"

namespace photodupes {

using namespace catalog_sql;

namespace {

namespace fs = std::filesystem;

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

bool Catalog::canStore() const { return version_ >= kSchemaVersion && sqlite3_db_readonly(db_, "main") == 0; }

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
