// The index reader on one large folder: childrenOfFolder and entryForFile against
// a bare loop that runs the same statements with SQLite alone, in the same run.
//
// The index holds one folder with 100,000 files (ASCII names, about 1% of them
// namesakes that differ in letter case, a few named like a subfolder) and 1,000
// subfolders, and a second folder of 20,000 files with non-ASCII names. At the
// end the program prints the ratios of the fastest repetitions.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "extension/model/collisions.h"
#include "extension/model/index.h"
#include "extension/testing/temp_container.h"
#include "extension/testing/test_index.h"

namespace {

using pellora::Index;
using pellora::IndexEntry;

constexpr const char* kAsciiFolder = "01JBENCHASCII0000000000000";
constexpr const char* kUnicodeFolder = "01JBENCHUNICODE00000000000";
constexpr int kAsciiFiles = 100'000;
constexpr int kUnicodeFiles = 20'000;
constexpr int kSubfolders = 1'000;

// The statements the reader runs for a listing, with their parameter.
constexpr const char* kFoldersStatement =
    "SELECT ulid, name, parent_ulid FROM folders WHERE parent_ulid = ? ORDER BY name";
constexpr const char* kFilesStatement =
    "SELECT ulid, name, folder_ulid, size, mtime_unix, version_number, locked_by_user_id"
    " FROM items WHERE folder_ulid = ? ORDER BY name";

// Builds the index in a temporary app-group container, the way the host
// application would (WAL journal), and closes the writer.
class BenchIndex {
 public:
  BenchIndex() {
    std::filesystem::path path = container_.dir() / "state.db";
    pellora::testing::TestIndex w(path, true, pellora::testing::JournalMode::kWal);
    w.exec("BEGIN");
    w.addFolder(kAsciiFolder, "Bench", std::nullopt);
    w.addFolder(kUnicodeFolder, "Bänch", std::nullopt);
    // Subfolders "Folder 0000" ... "Folder 0999" in the large folder.
    w.exec(
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 999)"
        " INSERT INTO folders SELECT printf('01JF%022d', i), printf('Folder %04d', i),"
        " '01JBENCHASCII0000000000000' FROM n");
    // Ulids follow a permutation (48271 * i mod the prime 100003), so their order
    // has nothing to do with the name order. Every 100th file repeats the name of
    // the one before it in capitals; every 10,000th is named like a subfolder.
    w.exec(
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 99999)"
        " INSERT INTO items SELECT printf('01JA%022d', (i * 48271) % 100003),"
        " CASE WHEN i % 10000 = 5 THEN printf('folder %04d', i / 10000)"
        "      WHEN i % 100 = 1 THEN printf('DOCUMENT %06d.TXT', i - 1)"
        "      ELSE printf('Document %06d.txt', i) END,"
        " '01JBENCHASCII0000000000000', 1000 + i, 1700000000 + i, 1 + i % 7,"
        " CASE WHEN i % 50 = 0 THEN 42 ELSE NULL END FROM n");
    w.exec(
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 19999)"
        " INSERT INTO items SELECT printf('01JU%022d', (i * 48271) % 100003),"
        " CASE WHEN i % 100 = 1 THEN printf('CAFÉ Ünïcödé %06d.TXT', i - 1)"
        "      ELSE printf('Café Ünïcödé %06d.txt', i) END,"
        " '01JBENCHUNICODE00000000000', 1000 + i, 1700000000 + i, 1, NULL FROM n");
    // The case-folded indexes pell-refhost creates for single look-ups.
    w.exec(
        "CREATE INDEX folders_by_parent_folded ON folders(parent_ulid, name COLLATE NOCASE);"
        "CREATE INDEX items_by_folder_folded ON items(folder_ulid, name COLLATE NOCASE);");
    w.exec("COMMIT");
    w.close();

    sqlite3* raw = nullptr;
    std::string uri = "file:" + path.string() + "?mode=ro";
    int rc = sqlite3_open_v2(uri.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    bare_.reset(raw);
    if (rc != SQLITE_OK) throw std::runtime_error("cannot open the benchmark index");
    index_.emplace(openIndex());
  }

  static Index openIndex() {
    std::optional<Index> index = Index::open();
    if (!index) throw std::runtime_error("Index::open failed");
    return std::move(*index);
  }

  const Index& index() const { return *index_; }
  sqlite3* bare() const { return bare_.get(); }

 private:
  struct Close {
    void operator()(sqlite3* db) const noexcept { sqlite3_close(db); }
  };
  pellora::testing::TempContainer container_;
  std::unique_ptr<sqlite3, Close> bare_;
  std::optional<Index> index_;
};

// Prepares, steps and reads every column of every row with SQLite alone.
std::int64_t bareListing(sqlite3* db, const char* folder) {
  std::int64_t rows = 0;
  for (const char* sql : {kFoldersStatement, kFilesStatement}) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> st(raw, &sqlite3_finalize);
    if (rc != SQLITE_OK) return -1;
    sqlite3_bind_text(raw, 1, folder, -1, SQLITE_TRANSIENT);
    const int columns = sqlite3_column_count(raw);
    while (sqlite3_step(raw) == SQLITE_ROW) {
      for (int c = 0; c < columns; ++c) {
        if (sqlite3_column_type(raw, c) == SQLITE_INTEGER) {
          benchmark::DoNotOptimize(sqlite3_column_int64(raw, c));
        } else {
          benchmark::DoNotOptimize(sqlite3_column_text(raw, c));
          benchmark::DoNotOptimize(sqlite3_column_bytes(raw, c));
        }
      }
      ++rows;
    }
  }
  return rows;
}

// The display name of one file as the reader found it before look-ups were
// narrowed: every sibling file and subfolder streams by and is tested for the
// file's collision key. The reference for entryForFile's gain.
std::string siblingScanDisplayName(sqlite3* db, const char* folder, const std::string& ulid,
                                   const std::string& name) {
  const std::string key = pellora::Collisions::collisionKey(name);
  std::vector<std::pair<std::string, std::string>> namesakes;
  std::vector<std::string> reserved;
  std::optional<std::size_t> requested;
  for (const char* sql : {kFilesStatement, kFoldersStatement}) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> st(raw, &sqlite3_finalize);
    if (rc != SQLITE_OK) return {};
    sqlite3_bind_text(raw, 1, folder, -1, SQLITE_TRANSIENT);
    const bool files = sql == kFilesStatement;
    while (sqlite3_step(raw) == SQLITE_ROW) {
      std::string_view rowName(reinterpret_cast<const char*>(sqlite3_column_text(raw, 1)));
      if (!pellora::Collisions::hasCollisionKey(rowName, key)) continue;
      if (!files) {
        reserved.emplace_back(rowName);
        continue;
      }
      std::string_view rowUlid(reinterpret_cast<const char*>(sqlite3_column_text(raw, 0)));
      if (!requested && rowUlid == ulid) requested = namesakes.size();
      namesakes.emplace_back(rowUlid, rowName);
    }
  }
  if (!requested) return name;
  std::vector<std::string_view> reservedNames(reserved.begin(), reserved.end());
  std::vector<pellora::Collisions::NamedUlid> named;
  for (const auto& [u, n] : namesakes) named.push_back({u, n});
  std::string displayName = namesakes[*requested].second;
  for (auto& m : pellora::Collisions::marks(reservedNames, named)) {
    if (m.position == *requested) displayName = std::move(m.displayName);
  }
  return displayName;
}

// Remembers the fastest repetition of each benchmark and prints the ratios at
// the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.aggregate_name == "min") {
        fastest_[run.run_name.function_name] = {run.GetAdjustedCPUTime(),
                                                run.GetAdjustedRealTime()};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void printRatios() const {
    // The fastest repetition is the one least disturbed by other work on the
    // machine; ratios of the fastest are the steadiest from run to run.
    std::printf("\nratios of the fastest repetitions (CPU time; wall time in brackets):\n");
    ratio("childrenOfFolder/ascii", "bareLoop/ascii");
    ratio("entryForFile/ascii", "bareLoop/ascii");
    ratio("childrenOfFolder/unicode", "bareLoop/unicode");
    ratio("entryForFile/unicode", "bareLoop/unicode");
    std::printf(
        "\nsingle look-up of a file without namesake, sibling scan / entryForFile"
        " (target >= 10):\n");
    ratio("siblingScan/ascii-unique", "entryForFile/ascii-unique");
    ratio("siblingScan/unicode-unique", "entryForFile/unicode-unique");
  }

 private:
  struct Times {
    double cpu;
    double real;
  };
  void ratio(const std::string& a, const std::string& b) const {
    auto ia = fastest_.find(a);
    auto ib = fastest_.find(b);
    if (ia == fastest_.end() || ib == fastest_.end() || ib->second.cpu <= 0 ||
        ib->second.real <= 0) {
      return;
    }
    std::printf("  %-24s / %-16s = %.2f  [%.2f]\n", a.c_str(), b.c_str(),
                ia->second.cpu / ib->second.cpu, ia->second.real / ib->second.real);
  }
  std::map<std::string, Times> fastest_;
};

long minorFaults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// Runs `fn` as a benchmark and reports the page faults per iteration beside the
// times: fresh memory that the system must fault in is a large part of what a
// listing of 100,000 entries costs beyond the bare loop.
template <class Fn>
void registerTimed(const std::string& name, Fn fn) {
  auto counted = [fn](benchmark::State& state) {
    long before = minorFaults();
    fn(state);
    state.counters["faults"] = benchmark::Counter(static_cast<double>(minorFaults() - before),
                                                  benchmark::Counter::kAvgIterations);
  };
  benchmark::RegisterBenchmark(name.c_str(), counted)
      ->Unit(benchmark::kMillisecond)
      ->MinTime(0.2)
      ->Repetitions(15)
      ->ComputeStatistics(
          "min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
      ->ReportAggregatesOnly(true);
}

}  // namespace

int main(int argc, char** argv) {
  // Repetitions of the benchmarks are interleaved at random unless asked
  // otherwise, so that a change in machine load over the run does not favour
  // one side of a ratio.
  std::vector<char*> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  BenchIndex data;

  struct Folder {
    const char* label;
    const char* ulid;
    std::size_t expected;
  };
  const Folder folders[] = {
      {"ascii", kAsciiFolder, kSubfolders + kAsciiFiles},
      {"unicode", kUnicodeFolder, kUnicodeFiles},
  };
  for (const Folder& f : folders) {
    std::string label = f.label;
    registerTimed("bareLoop/" + label, [&data, f](benchmark::State& state) {
      for (auto _ : state) {
        if (bareListing(data.bare(), f.ulid) != static_cast<std::int64_t>(f.expected)) {
          state.SkipWithError("unexpected row count");
          break;
        }
      }
    });
    registerTimed("childrenOfFolder/" + label, [&data, f](benchmark::State& state) {
      for (auto _ : state) {
        std::vector<IndexEntry> children = data.index().childrenOfFolder(f.ulid);
        if (children.size() != f.expected) {
          state.SkipWithError("unexpected entry count");
          break;
        }
        benchmark::DoNotOptimize(children.data());
      }
    });
    // Files spread over the folder, marked namesakes among them.
    std::vector<std::string> sample;
    std::size_t marked = 0, position = 0;
    for (const IndexEntry& e : data.index().childrenOfFolder(f.ulid)) {
      if (e.isFolder()) continue;
      bool isMarked = e.displayName() != e.name();
      if ((isMarked && marked < 32) || position++ % 3001 == 0) sample.push_back(e.ulid());
      if (isMarked) ++marked;
    }
    registerTimed("entryForFile/" + label, [&data, sample](benchmark::State& state) {
      std::size_t next = 0;
      for (auto _ : state) {
        std::optional<IndexEntry> entry = data.index().entryForFile(sample[next++ % sample.size()]);
        if (!entry) {
          state.SkipWithError("file not found");
          break;
        }
        benchmark::DoNotOptimize(entry->displayName().data());
      }
    });
  }
  // Files without namesakes: the sibling scan against the narrowed look-up.
  for (const Folder& f : folders) {
    std::vector<IndexEntry> unique;
    std::map<std::string, int> keys;
    std::vector<IndexEntry> children = data.index().childrenOfFolder(f.ulid);
    for (const IndexEntry& e : children) ++keys[pellora::Collisions::collisionKey(e.name())];
    std::size_t position = 0;
    for (const IndexEntry& e : children) {
      if (!e.isFolder() && keys[pellora::Collisions::collisionKey(e.name())] == 1 &&
          position++ % 3001 == 0) {
        unique.push_back(e);
      }
    }
    std::string label = std::string(f.label) + "-unique";
    registerTimed("siblingScan/" + label, [&data, f, unique](benchmark::State& state) {
      std::size_t next = 0;
      for (auto _ : state) {
        const IndexEntry& e = unique[next++ % unique.size()];
        std::string shown = siblingScanDisplayName(data.bare(), f.ulid, e.ulid(), e.name());
        if (shown != e.displayName()) {
          state.SkipWithError("sibling scan disagrees with the listing");
          break;
        }
      }
    });
    registerTimed("entryForFile/" + label, [&data, unique](benchmark::State& state) {
      std::size_t next = 0;
      for (auto _ : state) {
        const IndexEntry& e = unique[next++ % unique.size()];
        std::optional<IndexEntry> entry = data.index().entryForFile(e.ulid());
        if (!entry || entry->displayName() != e.displayName()) {
          state.SkipWithError("entryForFile disagrees with the listing");
          break;
        }
      }
    });
  }
  registerTimed("openAndDataVersion", [](benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(BenchIndex::openIndex().dataVersion());
  });

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios();
  benchmark::Shutdown();
  return 0;
}
