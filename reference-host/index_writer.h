// The index database of one account, as the host writes it: the tables
// folders and items that the extension reads, plus the columns the host needs
// to keep ulids stable across restarts (the item's relative path in the store,
// its inode and, for files, the modification time in nanoseconds).
//
// The database runs in WAL mode, so readers never wait for the writer. Every
// change is one transaction, and an empty change writes nothing, so the
// database's data version moves only when the index really changed. The WAL is
// checkpointed on a thread of the writer's own once it holds 1,000 pages, so
// that no change waits for the two syncs of a checkpoint.
#ifndef PELLORA_REFHOST_INDEX_WRITER_H_
#define PELLORA_REFHOST_INDEX_WRITER_H_

#include <sqlite3.h>

#include <array>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fileprovider/error.h"
#include "reference-host/catalog.h"

namespace refhost {

// The database file name of an account: "state.db" for "primary", else
// "state-<account>.db".
[[nodiscard]] std::string databaseName(std::string_view account);

class IndexWriter {
 public:
  // What a database held when it was opened.
  struct Contents {
    Catalog catalog;
    // Rows that cannot be part of the catalog (a path held twice): to delete.
    std::vector<Entry> strays;
  };

  // Opens the database at `path`, creating it and its schema when needed.
  // Fails when the file holds a database of another schema.
  [[nodiscard]] static fp::StatusOr<IndexWriter> open(const std::filesystem::path& path);

  // Reads every row.
  [[nodiscard]] fp::StatusOr<Contents> load();

  // Writes `changes` in one transaction; nothing at all when they are empty.
  [[nodiscard]] fp::Status apply(const Changes& changes);

  const std::filesystem::path& path() const { return path_; }

 private:
  struct Closer {
    void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
  };
  struct StatementFinalizer {
    void operator()(sqlite3_stmt* st) const noexcept { sqlite3_finalize(st); }
  };
  // The statements every change runs, prepared on first use and kept: a
  // change is one small transaction, and preparing its statements anew cost
  // more than running them.
  enum Kept {
    kBegin,
    kCommit,
    kRollback,
    kDeleteFolder,
    kDeleteItem,
    kPutFolder,
    kPutItem,
    kKinds
  };

  class Checkpointer;

  IndexWriter(std::filesystem::path path, sqlite3* db);
  [[nodiscard]] fp::Status exec(const char* sql);
  // The kept statement `which`, reset and without bindings.
  [[nodiscard]] fp::StatusOr<sqlite3_stmt*> kept(Kept which);
  // Runs the kept statement `which`, which yields no rows.
  [[nodiscard]] fp::Status run(Kept which);
  [[nodiscard]] fp::Status applyInTransaction(const Changes& changes);
  [[nodiscard]] fp::Error sqliteError(std::string_view what) const;

  std::filesystem::path path_;
  // Before db_: outlives the connection whose WAL hook calls it.
  std::unique_ptr<Checkpointer, void (*)(Checkpointer*)> checkpointer_;
  std::unique_ptr<sqlite3, Closer> db_;
  // After db_: finalized before the connection closes.
  std::array<std::unique_ptr<sqlite3_stmt, StatementFinalizer>, kKinds> kept_;
};

}  // namespace refhost

#endif  // PELLORA_REFHOST_INDEX_WRITER_H_
