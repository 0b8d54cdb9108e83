// The SQLite pieces the catalog's source files share: a prepared statement
// that finalizes itself, and the bindings of a file's stat to five columns.
// Internal to the catalog; callers use catalog.h.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "photodupes/catalog.h"

namespace photodupes::catalog_sql {

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

inline void bindStat(Statement& st, int i, const std::optional<FileStat>& s) {
  if (!s) {
    for (int k = 0; k < 5; ++k) st.null(i + k);
    return;
  }
  st.integer(i, static_cast<std::int64_t>(s->dev)).integer(i + 1, static_cast<std::int64_t>(s->ino));
  st.integer(i + 2, s->size).integer(i + 3, s->mtimeNs).integer(i + 4, s->ctimeNs);
}

inline std::optional<FileStat> statAt(const Statement& st, int i) {
  for (int k = 0; k < 5; ++k)
    if (st.columnNull(i + k)) return std::nullopt;
  return FileStat{static_cast<std::uint64_t>(st.columnInt(i)), static_cast<std::uint64_t>(st.columnInt(i + 1)),
                  st.columnInt(i + 2), st.columnInt(i + 3), st.columnInt(i + 4)};
}

inline std::int64_t nowSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

}  // namespace photodupes::catalog_sql
