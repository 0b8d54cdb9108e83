// The catalog's photos and runs: what a scan stores of each file, and the
// queries that read the photos back.
#include <sqlite3.h>

#include "photodupes/catalog.h"
#include "photodupes/catalog_sql.h"

namespace photodupes {

using namespace catalog_sql;

namespace {

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

void bindFacts(Statement& st, int i, const std::optional<ThumbFacts>& f) {
  if (!f) {
    st.null(i).null(i + 1);
    return;
  }
  sqlite3_bind_double(st.raw(), i, f->contentShare);
  st.integer(i + 1, f->colour ? 1 : 0);
}

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

}  // namespace photodupes
