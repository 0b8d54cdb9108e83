// CatalogWatch: tells whether anyone committed to a catalog since the last
// look, without taking the catalog's lock.
#include <sqlite3.h>
#include <sys/stat.h>

#include "photodupes/catalog.h"
#include "photodupes/catalog_sql.h"

namespace photodupes {

using catalog_sql::Statement;

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

}  // namespace photodupes
