// The user's decisions the catalog keeps: pairs that are not duplicates,
// chosen keepers and kept photos, and the reference folders.
#include <sqlite3.h>

#include "photodupes/catalog.h"
#include "photodupes/catalog_sql.h"

namespace photodupes {

using namespace catalog_sql;

namespace {

const char* choiceName(Choice c) { return c == Choice::kKeeper ? "keeper" : c == Choice::kKeep ? "keep" : ""; }

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

}  // namespace photodupes
