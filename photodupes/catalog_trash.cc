// The catalog's Trash journal: the batches of files moved to the Trash and
// each file's state, written before and after every move so that a move can
// be finished or undone after a crash.
#include <sqlite3.h>

#include "photodupes/catalog.h"
#include "photodupes/catalog_sql.h"

namespace photodupes {

using namespace catalog_sql;

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

}  // namespace photodupes
