// The catalog refuses what is not its own and never lets two runs in.
#include "photodupes/catalog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "testsupport/images.h"

namespace photodupes {
namespace {

std::string contents(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string openError(const std::string& file, const std::string& source = "/lib") {
  try {
    Catalog::open(file, "library", source, Catalog::Access::kWrite, std::chrono::milliseconds(100));
  } catch (const CatalogError& e) {
    return e.what();
  }
  return "";
}

TEST(Catalog, KeepsPhotosAcrossOpens) {
  testsupport::TempDir dir;
  const std::string file = dir.path() + "/sub/cat.db";
  {
    auto c = Catalog::open(file, "library", "/lib", Catalog::Access::kWrite);
    c->begin();
    Photo p;
    p.id = "a.jpg";
    p.path = std::string("/lib/a\xff.jpg");  // not UTF-8: kept as bytes
    p.sha = "ab";
    p.dhash = 0xfedcba9876543210ull;
    p.state = "local";
    c->putPhoto(p, c->startRun());
    c->commit();
  }
  auto c = Catalog::open(file, "library", "/lib", Catalog::Access::kRead);
  auto p = c->photo("a.jpg", false);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->path, "/lib/a\xff.jpg");
  EXPECT_EQ(p->dhash, 0xfedcba9876543210ull);
  c.reset();
  // Another library's catalog is not this one's.
  EXPECT_NE(openError(file, "/other").find("belongs to library /lib"), std::string::npos);
}

TEST(Catalog, RefusesForeignDamagedAndNewerFilesAndLeavesThemAlone) {
  testsupport::TempDir dir;
  const std::string text = dir.path() + "/notes.txt";
  ASSERT_TRUE(testsupport::writeBytes(text, std::string(5000, 'x')));
  std::string err = openError(text);
  EXPECT_NE(err.find(text), std::string::npos) << err;
  EXPECT_NE(err.find("not a usable photodupes catalog"), std::string::npos) << err;
  EXPECT_EQ(contents(text), std::string(5000, 'x'));

  // Some other program's SQLite database.
  const std::string other = dir.path() + "/other.db";
  {
    auto c = Catalog::open(other, "library", "/lib", Catalog::Access::kWrite);
    c->exec("PRAGMA application_id=42");
  }
  const std::string before = contents(other);
  EXPECT_NE(openError(other).find("another program's database"), std::string::npos);
  EXPECT_EQ(contents(other), before);

  // A catalog of a newer schema.
  const std::string newer = dir.path() + "/newer.db";
  {
    auto c = Catalog::open(newer, "library", "/lib", Catalog::Access::kWrite);
    c->exec("PRAGMA user_version=99");
  }
  EXPECT_NE(openError(newer).find("newer photodupes"), std::string::npos);

  // A catalog whose pages were overwritten in the middle.
  const std::string damaged = dir.path() + "/damaged.db";
  {
    auto c = Catalog::open(damaged, "library", "/lib", Catalog::Access::kWrite);
    c->begin();
    for (int i = 0; i < 200; ++i) {
      Photo p;
      p.id = p.path = "photo" + std::to_string(i);
      p.thumb = std::string(500, 'a' + i % 26);
      c->putPhoto(p, 1);
    }
    c->commit();
    c->exec("PRAGMA wal_checkpoint(TRUNCATE)");
  }
  std::string bytes = contents(damaged);
  ASSERT_GT(bytes.size(), 40000u);
  for (std::size_t k = 8192; k < 8192 + 20000; ++k) bytes[k] = static_cast<char>(k * 7);
  ASSERT_TRUE(testsupport::writeBytes(damaged, bytes));
  err = openError(damaged);
  EXPECT_NE(err.find(damaged), std::string::npos) << err;
  EXPECT_EQ(err.find('\n'), std::string::npos) << "one line: " << err;
  EXPECT_EQ(contents(damaged), bytes);

  // Nothing is created beside a file that is not a catalog: a photo, an
  // empty file, or another program's database in the middle of its
  // write-ahead log, which must keep its log.
  const std::string photo = dir.path() + "/photo.jpg", empty = dir.path() + "/empty.db";
  ASSERT_TRUE(testsupport::writeBytes(photo, std::string("\xff\xd8\xff\xe0") + std::string(3000, 'j')));
  ASSERT_TRUE(testsupport::writeBytes(empty, ""));
  EXPECT_NE(openError(photo).find("not an SQLite database"), std::string::npos);
  EXPECT_NE(openError(empty).find("an empty file"), std::string::npos);
  const std::string wal = dir.path() + "/wal.db";
  sqlite3* live = nullptr;
  ASSERT_EQ(sqlite3_open(wal.c_str(), &live), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(live, "PRAGMA journal_mode=WAL; CREATE TABLE t(x); INSERT INTO t VALUES(1);", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  const std::string log = contents(wal + "-wal");
  ASSERT_FALSE(log.empty());
  EXPECT_NE(openError(wal).find("another program's database"), std::string::npos);
  EXPECT_EQ(contents(wal + "-wal"), log);
  sqlite3_close(live);
  for (const std::string& f : {photo, empty, wal}) EXPECT_FALSE(std::filesystem::exists(f + ".lock")) << f;
}

TEST(Catalog, ANameWithoutAFolderAndALinkToTheCatalogAreTheSameFile) {
  testsupport::TempDir dir;
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  EXPECT_EQ(openError("cat.db"), "");
  std::filesystem::current_path(cwd);
  EXPECT_EQ(Catalog::sourceOf(dir.path() + "/cat.db", "library"), "/lib");
  std::filesystem::create_symlink(dir.path() + "/cat.db", dir.path() + "/link.db");
  auto held = Catalog::open(dir.path() + "/cat.db", "library", "/lib", Catalog::Access::kWrite);
  EXPECT_NE(openError(dir.path() + "/link.db").find("in use by another photodupes run"), std::string::npos);
}

TEST(Catalog, KeepsExtraHashesAndOpensACatalogOfThePreviousSchemas) {
  testsupport::TempDir dir;
  const std::string file = dir.path() + "/cat.db";
  auto put = [](Catalog& c, const std::string& id, std::optional<std::vector<std::uint64_t>> extra) {
    Photo p;
    p.id = p.path = id;
    p.sha = "ab";
    p.dhash = 0x8000000000000001ull;
    p.extraHashes = std::move(extra);
    if (p.extraHashes) p.cornerHashes = std::vector<std::uint64_t>{7, 8, 9, 0xffffffffffffffffull};
    if (p.extraHashes) p.stat = FileStat{~0ull, 1ull << 63, 3, -4, 5}, p.facts = ThumbFacts{0.5, false};
    c.putPhoto(p, 1);
  };
  auto stored = [&](const std::string& id) {
    return *Catalog::open(file, "library", "/lib", Catalog::Access::kRead)->photo(id, false);
  };
  const std::vector<std::uint64_t> some = {0xfedcba9876543210ull, 1}, corners = {7, 8, 9, 0xffffffffffffffffull};
  {
    auto c = Catalog::open(file, "library", "/lib", Catalog::Access::kWrite);
    c->begin();
    put(*c, "some", some);
    put(*c, "none", std::vector<std::uint64_t>{});  // computed: there were none
    put(*c, "unknown", std::nullopt);
    c->commit();
  }
  EXPECT_EQ(stored("some").extraHashes, some);
  EXPECT_EQ(stored("some").cornerHashes, corners);
  EXPECT_EQ(stored("none").extraHashes, std::vector<std::uint64_t>{});
  EXPECT_EQ(stored("unknown").extraHashes, std::nullopt);
  EXPECT_EQ(stored("unknown").cornerHashes, std::nullopt);
  EXPECT_EQ(stored("some").stat, (FileStat{~0ull, 1ull << 63, 3, -4, 5}));
  EXPECT_EQ(stored("some").facts->contentShare, 0.5);
  EXPECT_EQ(stored("unknown").stat, std::nullopt);

  // What schemas 4 and 5 added, taken away again.
  const std::string before5 =
      "DROP TABLE not_duplicates; DROP TABLE choices; DROP TABLE keep_in; DROP TABLE trash_batches; "
      "DROP TABLE trash_files; ";
  const std::string before4 =
      "ALTER TABLE photos DROP COLUMN st_dev; ALTER TABLE photos DROP COLUMN st_ino; "
      "ALTER TABLE photos DROP COLUMN st_size; ALTER TABLE photos DROP COLUMN st_mtime_ns; "
      "ALTER TABLE photos DROP COLUMN st_ctime_ns; ALTER TABLE photos DROP COLUMN content_share; "
      "ALTER TABLE photos DROP COLUMN colour; DROP TABLE distances; " + before5;
  // The same catalog as schema 2 left it: read as it is, then upgraded in
  // place, every photo and its extra hashes kept, the corner hashes unknown.
  Catalog::open(file, "library", "/lib", Catalog::Access::kWrite)
      ->exec(before4 +
             "ALTER TABLE photos DROP COLUMN corner_hashes; PRAGMA user_version=2; PRAGMA wal_checkpoint(TRUNCATE)");
  EXPECT_EQ(stored("some").extraHashes, some);
  EXPECT_EQ(stored("some").cornerHashes, std::nullopt);
  EXPECT_EQ(Catalog::open(file, "library", "/lib", Catalog::Access::kWrite)->photos(false).size(), 3u);
  EXPECT_EQ(stored("some").extraHashes, some);
  EXPECT_EQ(stored("none").extraHashes, std::vector<std::uint64_t>{});
  EXPECT_EQ(stored("some").cornerHashes, std::nullopt);

  // As schema 1 left it.
  Catalog::open(file, "library", "/lib", Catalog::Access::kWrite)
      ->exec(
          before4 +
          "ALTER TABLE photos DROP COLUMN corner_hashes; ALTER TABLE photos DROP COLUMN extra_hashes; "
          "PRAGMA user_version=1; PRAGMA wal_checkpoint(TRUNCATE)");
  const std::string before = contents(file);
  {
    // Read as it is, and left as it is.
    auto c = Catalog::open(file, "library", "/lib", Catalog::Access::kRead);
    const auto photos = c->photos(false);
    ASSERT_EQ(photos.size(), 3u);
    for (const Photo& p : photos) {
      EXPECT_EQ(p.dhash, 0x8000000000000001ull);
      EXPECT_FALSE(p.extraHashes) << p.id;
      EXPECT_FALSE(p.cornerHashes) << p.id;
      EXPECT_FALSE(p.stat) << p.id;
    }
    EXPECT_TRUE(c->distances("any").empty());
  }
  EXPECT_EQ(contents(file), before);
  {
    // Opened for writing, it gains both columns and keeps every photo.
    auto c = Catalog::open(file, "library", "/lib", Catalog::Access::kWrite);
    EXPECT_EQ(c->photos(false).size(), 3u);
    Photo p = *c->photo("some", false);
    p.extraHashes = some;
    p.cornerHashes = corners;
    c->begin();
    c->updateThumbHashes(p);
    c->commit();
  }
  EXPECT_EQ(stored("some").extraHashes, some);
  EXPECT_EQ(stored("some").cornerHashes, corners);
  EXPECT_EQ(stored("none").extraHashes, std::nullopt);
}

TEST(Catalog, KeepsDecisionsAndTheTrashJournalAndGainsThemFromSchema4) {
  testsupport::TempDir dir;
  const std::string file = dir.path() + "/cat.db";
  Photo p;
  p.id = p.path = "/lib/a.jpg";
  p.sha = "aa";
  p.dhash = 1;
  {
    auto c = Catalog::open(file, "library", "/lib", Catalog::Access::kWrite);
    c->putPhoto(p, 1);
    c->exec(
        "DROP TABLE not_duplicates; DROP TABLE choices; DROP TABLE keep_in; DROP TABLE trash_batches; "
        "DROP TABLE trash_files; PRAGMA user_version=4; PRAGMA wal_checkpoint(TRUNCATE)");
  }
  {
    // Schema 4 read as it is: no decisions, nothing in the Trash.
    auto c = Catalog::open(file, "library", "/lib", Catalog::Access::kRead);
    EXPECT_TRUE(c->decisions().notDuplicates.empty());
    EXPECT_TRUE(c->inTrash().empty());
    EXPECT_TRUE(c->batches().empty());
  }
  const std::int64_t row = Catalog::open(file, "library", "/lib", Catalog::Access::kRead)->photos(false)[0].row;
  ASSERT_GT(row, 0);
  {
    auto c = Catalog::open(file, "library", "/lib", Catalog::Access::kWrite);  // upgraded
    EXPECT_EQ(c->photoByRow(row, false)->id, p.id);
    EXPECT_FALSE(c->photoByRow(row + 1, false));
    c->setNotDuplicates("bb", "aa", true);
    c->setNotDuplicates("cc", "dd", true);
    c->setNotDuplicates("dd", "cc", false);
    c->setChoice(p, Choice::kKeeper);
    c->setKeepIn({"ref", "x/y"});
    const std::int64_t batch = c->startBatch();
    TrashEntry e;
    e.batch = batch, e.photoId = p.id, e.path = std::string("/lib/a\xff.jpg"), e.state = "planned";
    e.trashFile = "/t/files/a.jpg", e.trashInfo = "/t/info/a.jpg.trashinfo", e.before = FileStat{1, 2, 3, 4, 5};
    e.entry = c->journal(e);
    e.state = "moved", e.after = FileStat{1, 2, 3, 4, 6};
    c->journal(e);
  }
  auto c = Catalog::open(file, "library", "/lib", Catalog::Access::kRead);
  const Decisions d = c->decisions();
  EXPECT_TRUE(d.notDuplicate("aa", "bb"));
  EXPECT_FALSE(d.notDuplicate("cc", "dd"));
  EXPECT_EQ(d.choice(p), Choice::kKeeper);
  Photo changed = p;
  changed.sha = "ee";  // the file changed: a new question
  EXPECT_EQ(d.choice(changed), Choice::kNone);
  EXPECT_EQ(d.keepIn, (std::vector<std::string>{"ref", "x/y"}));
  const auto inTrash = c->inTrash();
  ASSERT_EQ(inTrash.size(), 1u);
  EXPECT_EQ(inTrash[0].path, "/lib/a\xff.jpg");
  EXPECT_EQ(inTrash[0].state, "moved");
  EXPECT_EQ(inTrash[0].after, (FileStat{1, 2, 3, 4, 6}));
  ASSERT_EQ(c->batches().size(), 1u);
  EXPECT_EQ(c->batches()[0].moved, 1);
}

// The review page watches the catalog while it is idle: every commit by
// another connection changes the stamp, each one of two in a row included
// (no clock involved), a read changes nothing, a writer is never held up,
// and a catalog replaced under the same name or removed is a change too.
TEST(Catalog, AWatchSeesEveryCommitOfOthersWithoutHoldingTheCatalog) {
  testsupport::TempDir dir;
  const std::string file = dir.path() + "/cat.db";
  auto writer = [&] {
    return Catalog::open(file, "library", "/lib", Catalog::Access::kWrite, std::chrono::milliseconds(100));
  };
  writer();
  CatalogWatch watch(file);
  const std::string first = watch.stamp();
  EXPECT_EQ(watch.stamp(), first);
  Catalog::open(file, "library", "/lib", Catalog::Access::kRead)->photos(false);
  EXPECT_EQ(watch.stamp(), first);
  std::set<std::string> stamps = {first};
  {
    auto c = writer();  // would throw after 100 ms if the watch held the catalog
    for (const char* folder : {"a", "b"}) {
      c->setKeepIn({folder});
      EXPECT_TRUE(stamps.insert(watch.stamp()).second) << folder;
    }
  }
  const std::string last = watch.stamp();
  EXPECT_EQ(watch.stamp(), last);

  writer().reset();
  std::filesystem::rename(file, dir.path() + "/old.db");
  Catalog::open(file, "library", "/lib", Catalog::Access::kWrite);  // a new one under the name
  EXPECT_TRUE(stamps.insert(watch.stamp()).second);
  const std::string replaced = watch.stamp();
  std::filesystem::remove(file);
  const std::string gone = watch.stamp();
  EXPECT_TRUE(stamps.insert(gone).second);
  EXPECT_EQ(watch.stamp(), gone);
  std::filesystem::copy_file(dir.path() + "/old.db", file);  // back, by a copy
  EXPECT_TRUE(stamps.insert(watch.stamp()).second);
  EXPECT_NE(watch.stamp(), replaced);
}

TEST(Catalog, SecondRunWaitsThenFailsClearly) {
  testsupport::TempDir dir;
  const std::string file = dir.path() + "/cat.db";
  auto first = Catalog::open(file, "library", "/lib", Catalog::Access::kWrite);
  const auto start = std::chrono::steady_clock::now();
  const std::string err = openError(file);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_NE(err.find("in use by another photodupes run"), std::string::npos) << err;
  first.reset();
  EXPECT_EQ(openError(file), "");
}

}  // namespace
}  // namespace photodupes
