#include "extension/model/index.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "extension/platform/logs.h"
#include "extension/testing/temp_container.h"
#include "extension/testing/test_index.h"

namespace pellora {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::JournalMode;
using testing::TempContainer;
using testing::TestIndex;

std::vector<std::string> displayNames(const std::vector<IndexEntry>& entries) {
  std::vector<std::string> names;
  for (const IndexEntry& e : entries) names.push_back(e.displayName());
  return names;
}

class IndexTest : public ::testing::Test {
 protected:
  fs::path dbPath() const { return container_.dir() / "state.db"; }

  // The host application's connection, opened on first use.
  TestIndex& writer(JournalMode mode = JournalMode::kRollback) {
    if (!writer_) writer_ = std::make_unique<TestIndex>(dbPath(), true, mode);
    return *writer_;
  }
  void closeWriter() { writer_.reset(); }

  Index openIndex() {
    std::optional<Index> index = Index::open();
    if (!index) throw std::runtime_error("index did not open");
    return std::move(*index);
  }

  // The data version as a fresh Index reads it, as every request does.
  std::int64_t freshVersion() { return openIndex().dataVersion(); }

  bool logged(std::string_view level, std::string_view message) const {
    std::string line =
        std::string(level) + "\t" + kLogSubsystem + "\tIndex\t" + std::string(message);
    std::vector<std::string> lines = container_.logLines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  TempContainer container_;
  std::unique_ptr<TestIndex> writer_;
};

TEST(IndexNamesTest, AccountAndDatabaseName) {
  struct Case {
    std::string domain;
    std::string account;
    std::string database;
  };
  const std::string prefix(Index::domainPrefix);
  const Case cases[] = {
      {"de.brightfold.pellora-connect-desktop.default", "primary", "state.db"},
      {prefix + "primary", "primary", "state.db"},
      {prefix + "Primary", "Primary", "state-Primary.db"},
      {prefix + "team-7", "team-7", "state-team-7.db"},
      {prefix, "", "state-.db"},
      {"com.example.other", "primary", "state.db"},
      {"", "primary", "state.db"},
      {"x" + prefix + "a", "primary", "state.db"},
  };
  for (const Case& c : cases) {
    fp::Domain domain{c.domain, "Pellora Connect", false};
    EXPECT_EQ(Index::accountId(domain), c.account) << c.domain;
    EXPECT_EQ(Index::databaseName(domain), c.database) << c.domain;
  }
}

TEST_F(IndexTest, UnresolvedAppGroupYieldsNoIndex) {
  EXPECT_FALSE(Index::open("not.an.entitled.group").has_value());
  EXPECT_TRUE(logged("error", "app group not.an.entitled.group did not resolve"));
}

TEST_F(IndexTest, MissingFileYieldsNoIndexAndCreatesNothing) {
  EXPECT_FALSE(Index::open().has_value());
  EXPECT_TRUE(logged("info", "no index at " + dbPath().string() + " yet"));
  EXPECT_TRUE(fs::is_empty(container_.dir()));
}

TEST_F(IndexTest, OpenFailureIsLogged) {
  fs::create_directory(dbPath());  // exists, but SQLite cannot open it
  EXPECT_FALSE(Index::open().has_value());
  EXPECT_TRUE(logged("error", "opening index failed: disk I/O error"));
}

TEST_F(IndexTest, OtherDatabaseNameInTheSameContainer) {
  TestIndex other(container_.dir() / "state-team.db");
  other.addFolder("F1", "Team", std::nullopt);
  std::optional<Index> index = Index::open(Index::appGroup, "state-team.db");
  ASSERT_TRUE(index.has_value());
  EXPECT_THAT(displayNames(index->childrenOfFolder(std::nullopt)), ElementsAre("Team"));
  EXPECT_FALSE(Index::open().has_value());
}

TEST_F(IndexTest, DatabaseWithoutTablesReadsAsEmpty) {
  TestIndex bare(dbPath(), /*createSchema=*/false);
  bare.exec("CREATE TABLE unrelated (x)");
  Index index = openIndex();
  EXPECT_THAT(index.childrenOfFolder(std::nullopt), IsEmpty());
  EXPECT_THAT(index.childrenOfFolder("F1"), IsEmpty());
  EXPECT_FALSE(index.entryForFolder("F1").has_value());
  EXPECT_FALSE(index.entryForFile("I1").has_value());
  EXPECT_TRUE(logged("error", "prepare failed: no such table: folders"));
  EXPECT_TRUE(logged("error", "prepare failed: no such table: items"));
}

TEST_F(IndexTest, FileThatIsNoDatabaseReadsAsEmpty) {
  std::ofstream(dbPath()) << std::string(200, 'x');
  Index index = openIndex();
  EXPECT_THAT(index.childrenOfFolder(std::nullopt), IsEmpty());
  EXPECT_TRUE(logged("error", "prepare failed: file is not a database"));
}

TEST_F(IndexTest, FolderEntries) {
  writer().addFolder("F1", "Docs", std::nullopt);
  writer().addFolder("F2", "Sub", "F1");
  Index index = openIndex();

  std::optional<IndexEntry> top = index.entryForFolder("F1");
  ASSERT_TRUE(top.has_value());
  EXPECT_EQ(top->ulid(), "F1");
  EXPECT_EQ(top->name(), "Docs");
  EXPECT_EQ(top->displayName(), "Docs");
  EXPECT_EQ(top->parentUlid(), std::nullopt);
  EXPECT_TRUE(top->isFolder());
  EXPECT_EQ(top->size(), 0);
  EXPECT_EQ(top->modified(), TimePoint{});
  EXPECT_EQ(top->versionNumber(), 0);
  EXPECT_EQ(top->lockedByUserId(), std::nullopt);

  std::optional<IndexEntry> sub = index.entryForFolder("F2");
  ASSERT_TRUE(sub.has_value());
  EXPECT_EQ(sub->parentUlid(), std::optional<std::string>("F1"));
  EXPECT_FALSE(index.entryForFolder("F3").has_value());
  EXPECT_FALSE(index.entryForFolder("I1").has_value());  // files are not folders
}

TEST_F(IndexTest, FileEntries) {
  writer().addFile("I1", "a.txt", "F1", 2048, 1700000000, 12, std::nullopt);
  writer().addFile("I2", "b.txt", "F1", 1, 2, 3, 0);
  Index index = openIndex();

  std::optional<IndexEntry> a = index.entryForFile("I1");
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->ulid(), "I1");
  EXPECT_EQ(a->name(), "a.txt");
  EXPECT_EQ(a->displayName(), "a.txt");
  EXPECT_EQ(a->parentUlid(), std::optional<std::string>("F1"));
  EXPECT_FALSE(a->isFolder());
  EXPECT_EQ(a->size(), 2048);
  EXPECT_EQ(a->modified().time_since_epoch().count(), 1700000000.0);
  EXPECT_EQ(a->versionNumber(), 12);
  EXPECT_EQ(a->lockedByUserId(), std::nullopt);

  // A lock by user 0 is a lock.
  EXPECT_EQ(index.entryForFile("I2")->lockedByUserId(), std::optional<std::int64_t>(0));
  EXPECT_FALSE(index.entryForFile("F1").has_value());
}

TEST_F(IndexTest, NullColumnsReadAsEmptyZeroOrAbsent) {
  writer().exec(
      "INSERT INTO folders (ulid, name, parent_ulid) VALUES ('F1', NULL, NULL);"
      "INSERT INTO items VALUES ('I1', NULL, NULL, NULL, NULL, NULL, NULL);"
      "INSERT INTO items VALUES (NULL, 'n', 'F1', 1, 1, 1, NULL);");
  Index index = openIndex();
  std::vector<IndexEntry> top = index.childrenOfFolder(std::nullopt);
  ASSERT_EQ(top.size(), 2u);
  EXPECT_EQ(top[0].name(), "");
  EXPECT_EQ(top[0].parentUlid(), std::nullopt);
  const IndexEntry& file = top[1];
  EXPECT_EQ(file.ulid(), "I1");
  EXPECT_EQ(file.name(), "");
  EXPECT_EQ(file.parentUlid(), std::nullopt);
  EXPECT_EQ(file.size(), 0);
  EXPECT_EQ(file.modified(), TimePoint{});
  EXPECT_EQ(file.versionNumber(), 0);
  EXPECT_EQ(file.lockedByUserId(), std::nullopt);
  std::vector<IndexEntry> inF1 = index.childrenOfFolder("F1");
  ASSERT_EQ(inF1.size(), 1u);
  EXPECT_EQ(inF1[0].ulid(), "");
}

TEST_F(IndexTest, TextIsCutAtNulAndRepaired) {
  writer().exec(
      "INSERT INTO items (ulid, name, folder_ulid) VALUES"
      " ('I1', CAST(x'41004243' AS TEXT), 'F'),"
      " ('I2', CAST(x'4AFF4B' AS TEXT), 'F');");
  Index index = openIndex();
  EXPECT_THAT(displayNames(index.childrenOfFolder("F")), ElementsAre("A", "J\uFFFDK"));
  EXPECT_EQ(index.entryForFile("I2")->name(), "J\uFFFDK");
}

TEST_F(IndexTest, EmptyFolderUlidIsTextNotNull) {
  writer().addFile("I1", "in-empty", "");
  writer().addFile("I2", "top", std::nullopt);
  Index index = openIndex();
  EXPECT_THAT(displayNames(index.childrenOfFolder("")), ElementsAre("in-empty"));
  EXPECT_THAT(displayNames(index.childrenOfFolder(std::nullopt)), ElementsAre("top"));
}

TEST_F(IndexTest, ListingShowsSubfoldersThenFilesInStoredNameOrder) {
  writer().addFolder("F1", "Root", std::nullopt);
  writer().addFolder("F2", "Docs", "F1");
  writer().addFile("01HXYZ7K2QZM", "docs", "F1");
  writer().addFile("01HXYZ000001", "Docs.txt", "F1");
  writer().addFolder("F3", "Other", "F2");  // not a child of F1
  Index index = openIndex();

  std::vector<IndexEntry> children = index.childrenOfFolder("F1");
  EXPECT_THAT(displayNames(children), ElementsAre("Docs", "Docs.txt", "docs (7K2QZM)"));
  ASSERT_EQ(children.size(), 3u);
  EXPECT_TRUE(children[0].isFolder());
  EXPECT_EQ(children[2].name(), "docs");
  EXPECT_EQ(index.entryForFile("01HXYZ7K2QZM")->displayName(), "docs (7K2QZM)");
  EXPECT_EQ(index.entryForFile("01HXYZ000001")->displayName(), "Docs.txt");
  EXPECT_EQ(index.entryForFolder("F2")->displayName(), "Docs");  // folders are never marked
}

TEST_F(IndexTest, TopLevelFilesAreDisambiguatedAgainstTopLevelFolders) {
  writer().addFolder("F1", "Notes", std::nullopt);
  writer().addFolder("F2", "report.pdf", "F1");  // elsewhere: no effect
  writer().addFile("I000002", "notes", std::nullopt);
  writer().addFile("I000001", "Report.PDF", std::nullopt);
  writer().addFile("I000003", "report.pdf", std::nullopt);
  Index index = openIndex();
  EXPECT_THAT(displayNames(index.childrenOfFolder(std::nullopt)),
              ElementsAre("Notes", "Report.PDF", "notes (000002)", "report (000003).pdf"));
  EXPECT_EQ(index.entryForFile("I000002")->displayName(), "notes (000002)");
  EXPECT_EQ(index.entryForFile("I000001")->displayName(), "Report.PDF");
  EXPECT_EQ(index.entryForFile("I000003")->displayName(), "report (000003).pdf");
}

TEST_F(IndexTest, SingleLookupAgreesWithTheListing) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"U07", "a.txt"},    {"U03", "A.TXT"},       {"U11", "a.txt"},      {"U01", "b"},
      {"U05", "Sub"},      {"U09", "caf\u00E9"},   {"U02", "CAFE\u0301"}, {"U04", "\u212A"},
      {"U06", "k"},        {"U08", "Stra\u00DFe"}, {"U10", "strasse"},    {"U12", "\u03A3.md"},
      {"U13", "\u03C3.MD"}};
  writer().addFolder("P", "Parent", std::nullopt);
  writer().addFolder("S", "sub", "P");
  for (const auto& [ulid, name] : files) writer().addFile(ulid, name, "P");
  Index index = openIndex();

  std::vector<IndexEntry> listing = index.childrenOfFolder("P");
  ASSERT_EQ(listing.size(), files.size() + 1);
  std::set<std::string> marked;
  for (const IndexEntry& e : listing) {
    if (e.isFolder()) continue;
    std::optional<IndexEntry> single = index.entryForFile(e.ulid());
    ASSERT_TRUE(single.has_value()) << e.ulid();
    EXPECT_EQ(single->displayName(), e.displayName()) << e.ulid();
    if (e.displayName() != e.name()) marked.insert(e.ulid());
  }
  EXPECT_EQ(marked, (std::set<std::string>{"U07", "U11", "U05", "U09", "U06", "U13"}));
}

// The single lookup reads only the names that may share the file's collision
// key. Differential check against the listing on random folders whose names mix
// ASCII case variants with characters whose lower case or decomposition is ASCII
// (Kelvin sign, dotted capital I, precomposed and decomposed accents), ill-formed
// UTF-8, embedded NUL, and names stored as numbers or blobs, and, in the last
// rounds, large folders whose names share an accented start spelled in several
// ways (the look-up splits its ranges there); once without and once with the
// case-folded index the host creates.
class NarrowedLookupTest : public IndexTest, public ::testing::WithParamInterface<bool> {};

TEST_P(NarrowedLookupTest, SingleLookupAgreesWithTheListingOnRandomFolders) {
  const std::vector<std::string> pieces = {
      "k",      "K",      "\u212A", "i",      "I",      "\u0130", "\u0307", "e",    "E",
      "\u00E9", "\u00C9", "\u0301", "s",      "S",      "\u00DF", "\u017F", "a",    "A",
      "\u00C5", "\u212B", "\u03A3", "\u03C3", "\u03C2", "\xFF",   "\xC3",   ".",    "txt",
      "TXT",    "z",      "~",      "@",      "`",      "[",      "0",      "\x7F", " ",
      "\u0323", "\u1EB9", "\u00FC", "\u00DC", "\u0308", "\u0341", "\u0344"};
  // Shared starts, spelled in several ways: a large folder whose names begin
  // alike up to and past accented letters, where the look-up splits its ranges.
  const std::vector<std::string> shared = {"Caf\u00E9 \u00DCn",        "CAF\u00C9 \u00FCN",
                                           "cafe\u0301 u\u0308n",      "Cafe\u0341 U\u0308n",
                                           "caf\u00E9 \u00FCn",        "Caf\u1EB9\u0301 \u00DCn",
                                           "cafe\u0323\u0301 u\u0308n"};
  std::mt19937 random(20261208);
  auto randomName = [&] {
    std::string name;
    std::size_t n = 1 + random() % 4;
    for (std::size_t i = 0; i < n; ++i) name += pieces[random() % pieces.size()];
    return name;
  };
  for (int round = 0; round < 18; ++round) {
    const bool alike = round >= 12;
    fs::remove(dbPath());
    {
      TestIndex w(dbPath());
      w.exec("BEGIN");
      if (GetParam()) {
        w.exec(
            "CREATE INDEX folders_folded ON folders(parent_ulid, name COLLATE NOCASE);"
            "CREATE INDEX items_folded ON items(folder_ulid, name COLLATE NOCASE);");
      }
      std::optional<std::string_view> parent;
      if (round % 2 == 1) parent = "P";
      if (parent) w.addFolder("P", "Parent", std::nullopt);
      // Every other pair of rounds, a folder without subfolders.
      const int subfolders = round % 4 < 2 ? 8 : 0;
      for (int i = 0; i < subfolders; ++i) {
        w.addFolder("D" + std::to_string(i), randomName(), parent);
      }
      // Few pieces and short names: namesakes are common.
      for (int i = 0; i < (alike ? 400 : 150); ++i) {
        char ulid[8];
        std::snprintf(ulid, sizeof ulid, "U%03d", static_cast<int>(random() % 1000));
        std::string name = randomName();
        if (alike) name = shared[random() % shared.size()] + name;
        if (i % 37 == 0) name += std::string(1, '\0') + randomName();
        w.exec("INSERT OR IGNORE INTO items (ulid, name, folder_ulid) VALUES ('" +
               std::string(ulid) + "', x'" +
               [&] {
                 std::string hex;
                 for (unsigned char c : name) {
                   static constexpr char kHex[] = "0123456789abcdef";
                   hex += kHex[c >> 4];
                   hex += kHex[c & 0xF];
                 }
                 return hex;
               }() +
               "', " + (parent ? "'P'" : "NULL") + ")");
      }
      // Stored text with the NUL and bytes kept; a few as numbers and blobs.
      w.exec("UPDATE items SET name = CAST(name AS TEXT) WHERE ulid NOT LIKE 'U00%'");
      w.exec("UPDATE items SET name = 5 WHERE ulid = (SELECT min(ulid) FROM items)");
      w.exec(
          std::string("INSERT OR IGNORE INTO items (ulid, name, folder_ulid) VALUES ('N1', 5, ") +
          (parent ? "'P'" : "NULL") + "), ('N2', '5', " + (parent ? "'P'" : "NULL") + ")");
      w.exec("COMMIT");
    }
    Index index = openIndex();
    std::optional<std::string_view> folder;
    if (round % 2 == 1) folder = "P";
    std::vector<IndexEntry> listing = index.childrenOfFolder(folder);
    int files = 0, marked = 0;
    for (const IndexEntry& e : listing) {
      if (e.isFolder()) continue;
      ++files;
      if (e.displayName() != e.name()) ++marked;
      std::optional<IndexEntry> single = index.entryForFile(e.ulid());
      ASSERT_TRUE(single.has_value()) << e.ulid();
      EXPECT_EQ(single->displayName(), e.displayName()) << "round " << round << " " << e.ulid();
    }
    EXPECT_GT(files, 100);
    EXPECT_GT(marked, 5);
  }
}

INSTANTIATE_TEST_SUITE_P(FoldedIndex, NarrowedLookupTest, ::testing::Bool());

// Nothing in the reader assumes unique ulids. The lookup's own row and the first
// listed row of the ulid may then differ; the display name is the one the
// listing gives that first row.
TEST_F(IndexTest, SingleLookupTakesTheNameOfTheFirstListedRowOfItsUlid) {
  TestIndex w(dbPath(), /*createSchema=*/false);
  w.exec(
      "CREATE TABLE folders (ulid TEXT, name TEXT, parent_ulid TEXT);"
      "CREATE TABLE items (ulid TEXT, name TEXT, folder_ulid TEXT, size INTEGER,"
      " mtime_unix INTEGER, version_number INTEGER, locked_by_user_id INTEGER);"
      "INSERT INTO items (ulid, name, folder_ulid) VALUES"
      " ('U1', 'zed', 'F'), ('U1', 'alpha', 'F'), ('U0', 'ALPHA', 'F');");
  Index index = openIndex();
  EXPECT_THAT(displayNames(index.childrenOfFolder("F")), ElementsAre("ALPHA", "alpha (U1)", "zed"));
  std::optional<IndexEntry> entry = index.entryForFile("U1");
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->name(), "zed");  // the row the lookup statement found
  EXPECT_EQ(entry->displayName(), "alpha (U1)");
}

TEST_F(IndexTest, ReaderWaitsForTheWriterThenReads) {
  writer().addFile("I1", "a", "F");
  Index index = openIndex();
  ASSERT_TRUE(index.entryForFile("I1").has_value());  // schema loaded before the lock

  writer().exec("BEGIN EXCLUSIVE");
  writer().addFile("I2", "b", "F");
  std::thread commit([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    writer().exec("COMMIT");
  });
  auto start = std::chrono::steady_clock::now();
  std::vector<IndexEntry> children = index.childrenOfFolder("F");
  auto waited = std::chrono::steady_clock::now() - start;
  commit.join();
  EXPECT_THAT(displayNames(children), ElementsAre("a", "b"));
  EXPECT_GE(waited, std::chrono::milliseconds(300));
}

TEST_F(IndexTest, ReaderGivesUpAfterTheBusyTimeout) {
  writer().addFolder("F", "Docs", std::nullopt);
  writer().addFile("I1", "a", "F");
  Index index = openIndex();
  ASSERT_TRUE(index.entryForFile("I1").has_value());
  container_.clearLog();

  writer().exec("BEGIN EXCLUSIVE");
  auto start = std::chrono::steady_clock::now();
  std::optional<IndexEntry> folder = index.entryForFolder("F");  // one statement, one wait
  auto waited = std::chrono::steady_clock::now() - start;
  writer().exec("ROLLBACK");
  EXPECT_FALSE(folder.has_value());
  EXPECT_GE(waited, std::chrono::milliseconds(2900));
  EXPECT_LT(waited, std::chrono::milliseconds(6000));
  EXPECT_THAT(container_.logLines(), IsEmpty());  // a busy step is not logged
}

// Paths holding characters that SQLite's URI syntax gives a meaning must open the
// file whose existence was checked, not a decoy that the unescaped URI names.
TEST_F(IndexTest, OpensTheCheckedFileWhateverItsPathHolds) {
  const std::string group(Index::appGroup);
  struct Case {
    std::string containers;  // the platform's containers folder
    std::string decoy;       // what an unescaped URI would open, or empty
  };
  const std::string base = (container_.root() / "odd").string();
  const Case cases[] = {
      {base + "/we?ird", base + "/we"},
      {base + "/hash#tag", base + "/hash"},
      {base + "/per%41cent", base + "/perAcent/" + group + "/state.db"},
      {base + "/per%cent", ""},
      {"/" + base + "/slashes", ""},  // "//..." would read as an authority
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.containers);
    ::setenv("FILEPROVIDER_CONTAINERS", c.containers.c_str(), 1);
    fs::create_directories(fs::path(c.containers) / group);
    {
      TestIndex real(fs::path(c.containers) / group / "state.db");
      real.addFolder("R", "real", std::nullopt);
    }
    if (!c.decoy.empty()) {
      fs::create_directories(fs::path(c.decoy).parent_path());
      TestIndex decoy(c.decoy);
      decoy.addFolder("D", "decoy", std::nullopt);
    }
    std::optional<Index> index = Index::open();
    ASSERT_TRUE(index.has_value());
    EXPECT_THAT(displayNames(index->childrenOfFolder(std::nullopt)), ElementsAre("real"));
  }
}

// What a reader may never change: the database and log files' bytes and times,
// and which files exist besides the shared-memory file.
struct FilesState {
  std::map<std::string, std::pair<std::string, std::int64_t>> files;
  friend bool operator==(const FilesState&, const FilesState&) = default;
};

FilesState filesState(const fs::path& dir) {
  FilesState state;
  for (const auto& item : fs::directory_iterator(dir)) {
    std::string name = item.path().filename().string();
    if (name.ends_with("-shm")) continue;
    struct stat st {};
    ::stat(item.path().c_str(), &st);
    std::ifstream in(item.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    state.files[name] = {bytes, st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec};
  }
  return state;
}

class DataVersionTest : public IndexTest, public ::testing::WithParamInterface<JournalMode> {
 protected:
  TestIndex& writer() { return IndexTest::writer(GetParam()); }
};

TEST_P(DataVersionTest, StableWhileNothingIsWrittenAndReaderWritesNothing) {
  writer().addFolder("F", "Docs", std::nullopt);
  writer().addFile("I1", "a", "F");
  FilesState before = filesState(container_.dir());
  std::int64_t v = freshVersion();
  EXPECT_GT(v, 0);
  for (int i = 0; i < 5; ++i) {
    Index index = openIndex();
    EXPECT_EQ(index.childrenOfFolder("F").size(), 1u);
    EXPECT_TRUE(index.entryForFile("I1").has_value());
    EXPECT_EQ(index.dataVersion(), v);
    EXPECT_EQ(index.dataVersion(), v);
  }
  EXPECT_EQ(filesState(container_.dir()), before);
}

TEST_P(DataVersionTest, ChangesWithEveryCommittedWrite) {
  writer().addFile("I1", "a", "F");
  std::set<std::int64_t> seen = {freshVersion()};
  std::int64_t previous = *seen.begin();
  for (int i = 0; i < 20; ++i) {
    // In-place updates: the file does not grow and its first page stays as it is.
    writer().exec("UPDATE items SET size = size + 1");
    std::int64_t v = freshVersion();
    EXPECT_NE(v, previous) << "write " << i;
    EXPECT_GE(v, 0);
    EXPECT_EQ(freshVersion(), v);
    seen.insert(v);
    previous = v;
  }
  EXPECT_EQ(seen.size(), 21u);
}

TEST_P(DataVersionTest, RolledBackTransactionChangesNothing) {
  writer().addFile("I1", "a", "F");
  std::int64_t v = freshVersion();
  writer().exec("BEGIN; UPDATE items SET size = 5; ROLLBACK;");
  EXPECT_EQ(freshVersion(), v);
}

TEST_P(DataVersionTest, ChangesAfterTheWriterClosed) {
  writer().addFile("I1", "a", "F");
  std::int64_t open = freshVersion();
  writer().exec("UPDATE items SET size = 7");
  closeWriter();  // in WAL mode: checkpoint, log removed
  std::int64_t closed = freshVersion();
  EXPECT_NE(closed, open);
  EXPECT_EQ(freshVersion(), closed);
  EXPECT_EQ(openIndex().entryForFile("I1")->size(), 7);

  // A whole session of another writer between two reads.
  {
    TestIndex again(dbPath(), false, GetParam());
    again.exec("UPDATE items SET size = 8");
  }
  std::int64_t later = freshVersion();
  EXPECT_NE(later, closed);
  EXPECT_EQ(freshVersion(), later);
}

TEST_F(IndexTest, DataVersionChangesWithACommitThatKeepsSizeAndModificationTime) {
  // A commit within one tick of the file system's clock leaves the database
  // file's size and modification time as they were; its header still changes.
  writer().addFile("I1", "a", "F");
  struct stat before {};
  ASSERT_EQ(::stat(dbPath().c_str(), &before), 0);
  std::int64_t v = freshVersion();
  writer().exec("UPDATE items SET size = size + 1");  // in place: the file keeps its size
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, dbPath().c_str(), times, 0), 0);
  struct stat after {};
  ASSERT_EQ(::stat(dbPath().c_str(), &after), 0);
  ASSERT_EQ(after.st_size, before.st_size);
  ASSERT_EQ(after.st_ino, before.st_ino);
  EXPECT_NE(freshVersion(), v);
  EXPECT_EQ(openIndex().entryForFile("I1")->size(), 1);
}

INSTANTIATE_TEST_SUITE_P(JournalModes, DataVersionTest,
                         ::testing::Values(JournalMode::kRollback, JournalMode::kWal),
                         [](const auto& info) {
                           return info.param == JournalMode::kWal ? "Wal" : "Rollback";
                         });

TEST_F(IndexTest, DataVersionFollowsTheWriteAheadLogThroughCheckpoints) {
  TestIndex& w = writer(JournalMode::kWal);
  w.addFile("I1", "a", "F");
  std::int64_t v1 = freshVersion();
  w.checkpoint();  // log emptied; the database file now holds everything
  std::int64_t v2 = freshVersion();
  EXPECT_EQ(freshVersion(), v2);
  w.exec("UPDATE items SET size = 1");  // the log restarts
  std::int64_t v3 = freshVersion();
  EXPECT_NE(v3, v2);
  EXPECT_NE(v3, v1);
  w.exec("UPDATE items SET size = 2");
  std::int64_t v4 = freshVersion();
  EXPECT_NE(v4, v3);
  EXPECT_EQ(openIndex().entryForFile("I1")->size(), 2);
}

}  // namespace
}  // namespace pellora
