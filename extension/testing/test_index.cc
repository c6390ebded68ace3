#include "extension/testing/test_index.h"

#include <stdexcept>

namespace pellora::testing {
namespace {

struct Stmt {
  sqlite3_stmt* s = nullptr;
  ~Stmt() { sqlite3_finalize(s); }
};

void bindOptText(sqlite3_stmt* s, int i, std::optional<std::string_view> v) {
  if (v) {
    sqlite3_bind_text(s, i, v->data(), static_cast<int>(v->size()), SQLITE_TRANSIENT);
  } else {
    sqlite3_bind_null(s, i);
  }
}

}  // namespace

TestIndex::TestIndex(const std::filesystem::path& path, bool createSchema, JournalMode mode) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw std::runtime_error("opening test index: " + msg);
  }
  sqlite3_busy_timeout(db_, 5000);
  exec(mode == JournalMode::kWal ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=DELETE");
  if (createSchema) {
    exec(
        "CREATE TABLE IF NOT EXISTS folders (ulid TEXT PRIMARY KEY, name TEXT, parent_ulid TEXT);"
        "CREATE INDEX IF NOT EXISTS folders_parent ON folders(parent_ulid, name);"
        "CREATE TABLE IF NOT EXISTS items (ulid TEXT PRIMARY KEY, name TEXT, folder_ulid TEXT,"
        " size INTEGER, mtime_unix INTEGER, version_number INTEGER, locked_by_user_id INTEGER);"
        "CREATE INDEX IF NOT EXISTS items_folder ON items(folder_ulid, name);");
  }
}

TestIndex::~TestIndex() { close(); }

void TestIndex::close() {
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

void TestIndex::exec(std::string_view sql) {
  char* err = nullptr;
  std::string text(sql);
  if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : "unknown";
    sqlite3_free(err);
    throw std::runtime_error("test index: " + msg + " in: " + text);
  }
}

void TestIndex::checkpoint() {
  if (sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr) !=
      SQLITE_OK) {
    throw std::runtime_error(std::string("checkpoint: ") + sqlite3_errmsg(db_));
  }
}

void TestIndex::addFolder(std::string_view ulid, std::string_view name,
                          std::optional<std::string_view> parent) {
  Stmt st;
  if (sqlite3_prepare_v2(db_, "INSERT INTO folders (ulid, name, parent_ulid) VALUES (?, ?, ?)", -1,
                         &st.s, nullptr) != SQLITE_OK) {
    throw std::runtime_error(std::string("prepare: ") + sqlite3_errmsg(db_));
  }
  bindOptText(st.s, 1, ulid);
  bindOptText(st.s, 2, name);
  bindOptText(st.s, 3, parent);
  if (sqlite3_step(st.s) != SQLITE_DONE) {
    throw std::runtime_error(std::string("insert folder: ") + sqlite3_errmsg(db_));
  }
}

void TestIndex::addFile(std::string_view ulid, std::string_view name,
                        std::optional<std::string_view> folder, std::int64_t size,
                        std::int64_t mtime, std::int64_t version,
                        std::optional<std::int64_t> lockedBy) {
  Stmt st;
  if (sqlite3_prepare_v2(db_,
                         "INSERT INTO items (ulid, name, folder_ulid, size, mtime_unix,"
                         " version_number, locked_by_user_id) VALUES (?, ?, ?, ?, ?, ?, ?)",
                         -1, &st.s, nullptr) != SQLITE_OK) {
    throw std::runtime_error(std::string("prepare: ") + sqlite3_errmsg(db_));
  }
  bindOptText(st.s, 1, ulid);
  bindOptText(st.s, 2, name);
  bindOptText(st.s, 3, folder);
  sqlite3_bind_int64(st.s, 4, size);
  sqlite3_bind_int64(st.s, 5, mtime);
  sqlite3_bind_int64(st.s, 6, version);
  if (lockedBy) {
    sqlite3_bind_int64(st.s, 7, *lockedBy);
  } else {
    sqlite3_bind_null(st.s, 7);
  }
  if (sqlite3_step(st.s) != SQLITE_DONE) {
    throw std::runtime_error(std::string("insert file: ") + sqlite3_errmsg(db_));
  }
}

}  // namespace pellora::testing
