// The catalog's cache of measured feature-print distances between two
// contents, so that a pair is measured once per build of the measurer.
#include <sqlite3.h>

#include "photodupes/catalog.h"
#include "photodupes/catalog_sql.h"

namespace photodupes {

using namespace catalog_sql;

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

}  // namespace photodupes
