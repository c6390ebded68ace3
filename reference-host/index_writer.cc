#include "reference-host/index_writer.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "fileprovider/scoped_fd.h"

namespace refhost {
namespace {

// Stored in PRAGMA user_version, so that a database written by anything else
// is recognised and left alone.
constexpr int kSchemaVersion = 0x52480001;

constexpr const char* kSchema = R"sql(
CREATE TABLE folders(
  ulid TEXT PRIMARY KEY NOT NULL,
  name TEXT NOT NULL,
  parent_ulid TEXT,
  path TEXT NOT NULL,
  inode INTEGER NOT NULL DEFAULT 0
) WITHOUT ROWID;
CREATE INDEX folders_by_parent ON folders(parent_ulid, name);
CREATE TABLE items(
  ulid TEXT PRIMARY KEY NOT NULL,
  name TEXT NOT NULL,
  folder_ulid TEXT,
  size INTEGER NOT NULL DEFAULT 0,
  mtime_unix INTEGER NOT NULL DEFAULT 0,
  version_number INTEGER NOT NULL DEFAULT 1,
  locked_by_user_id INTEGER,
  path TEXT NOT NULL,
  mtime_ns INTEGER NOT NULL DEFAULT 0,
  inode INTEGER NOT NULL DEFAULT 0
) WITHOUT ROWID;
CREATE INDEX items_by_folder ON items(folder_ulid, name);
)sql";

// Lets readers find the names of a folder that may share a collision key with
// a given name by a few index seeks (ASCII capitals folded) instead of reading
// the whole folder. Added to databases of earlier hosts when they are opened.
constexpr const char* kCaseFoldedIndexes = R"sql(
CREATE INDEX IF NOT EXISTS folders_by_parent_folded ON folders(parent_ulid, name COLLATE NOCASE);
CREATE INDEX IF NOT EXISTS items_by_folder_folded ON items(folder_ulid, name COLLATE NOCASE);
)sql";

struct Finalizer {
  void operator()(sqlite3_stmt* s) const noexcept { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalizer>;

std::string columnText(sqlite3_stmt* s, int i) {
  const unsigned char* text = sqlite3_column_text(s, i);
  return text ? std::string(reinterpret_cast<const char*>(text),
                            static_cast<std::size_t>(sqlite3_column_bytes(s, i)))
              : std::string();
}

std::optional<std::string> optionalText(sqlite3_stmt* s, int i) {
  if (sqlite3_column_type(s, i) == SQLITE_NULL) return std::nullopt;
  return columnText(s, i);
}

void bindText(sqlite3_stmt* s, int i, const std::string& text) {
  sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void bindOptionalText(sqlite3_stmt* s, int i, const std::optional<std::string>& text) {
  if (text) {
    bindText(s, i, *text);
  } else {
    sqlite3_bind_null(s, i);
  }
}

}  // namespace

// Checkpoints the WAL of the database at `path` on a thread of its own, with
// a connection of its own; a passive checkpoint never waits for the writer or
// the readers, and they do not wait for it.
class IndexWriter::Checkpointer {
 public:
  explicit Checkpointer(std::filesystem::path path)
      : path_(std::move(path)), thread_([this] { loop(); }) {}
  ~Checkpointer() {
    {
      std::lock_guard lock(mu_);
      stopping_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }
  Checkpointer(const Checkpointer&) = delete;
  Checkpointer& operator=(const Checkpointer&) = delete;

  // The writer's WAL hook: called after each commit with the WAL's length.
  static int walHook(void* self, sqlite3*, const char*, int pages) {
    if (pages >= kCheckpointPages) {
      auto* c = static_cast<Checkpointer*>(self);
      {
        std::lock_guard lock(c->mu_);
        c->due_ = true;
      }
      c->cv_.notify_one();
    }
    return SQLITE_OK;
  }

 private:
  // SQLite's own threshold for its automatic checkpoints.
  static constexpr int kCheckpointPages = 1000;

  void loop() {
    std::unique_ptr<sqlite3, Closer> db;
    std::unique_lock lock(mu_);
    for (;;) {
      cv_.wait(lock, [&] { return due_ || stopping_; });
      if (stopping_) break;
      due_ = false;
      lock.unlock();
      if (!db) {
        sqlite3* raw = nullptr;
        int rc = sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        db.reset(raw);
        // A connection finds the WAL only once it has read the database.
        if (rc != SQLITE_OK ||
            sqlite3_exec(raw, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) != SQLITE_OK) {
          db.reset();  // tried again at the next checkpoint
        }
      }
      // What it cannot copy now (a reader holds an older state) waits for the
      // next one.
      if (db) {
        sqlite3_wal_checkpoint_v2(db.get(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
      }
      lock.lock();
    }
  }

  const std::filesystem::path path_;
  std::mutex mu_;  // guards what follows
  std::condition_variable cv_;
  bool due_ = false;
  bool stopping_ = false;
  std::thread thread_;  // last: started once everything above exists
};

IndexWriter::IndexWriter(std::filesystem::path path, sqlite3* db)
    : path_(std::move(path)), checkpointer_(nullptr, [](Checkpointer* c) { delete c; }), db_(db) {}

std::string databaseName(std::string_view account) {
  if (account == "primary") return "state.db";
  return "state-" + std::string(account) + ".db";
}

fp::Error IndexWriter::sqliteError(std::string_view what) const {
  return fp::Error{"SQLite", sqlite3_extended_errcode(db_.get()),
                   std::string(what) + " " + path_.string() + ": " + sqlite3_errmsg(db_.get())};
}

fp::StatusOr<IndexWriter> IndexWriter::open(const std::filesystem::path& path) {
  // A new index is readable by its owner alone; SQLite gives its journal files
  // the mode of the database file.
  {
    fp::ScopedFD made(fp::retryOnEintr(
        [&] { return ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600); }));
    if (made && ::fchmod(made.get(), 0600) != 0) {
      return fp::fail(fp::Error::posix(errno, "setting the mode of " + path.string()));
    }
  }
  sqlite3* raw = nullptr;
  int rc =
      sqlite3_open_v2(path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  IndexWriter writer(path, raw);  // owns the handle from here on, even after a failed open
  if (rc != SQLITE_OK) return fp::fail(writer.sqliteError("opening"));
  sqlite3_busy_timeout(raw, 5000);

  if (auto s = writer.exec("PRAGMA journal_mode=WAL"); !s) return fp::fail(s.error());
  if (auto s = writer.exec("PRAGMA synchronous=NORMAL"); !s) return fp::fail(s.error());
  // In place of SQLite's automatic checkpoints, which run inside the commit.
  writer.checkpointer_.reset(new Checkpointer(path));
  sqlite3_wal_hook(raw, &Checkpointer::walHook, writer.checkpointer_.get());

  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(raw, "PRAGMA user_version", -1, &stmt, nullptr) != SQLITE_OK) {
    return fp::fail(writer.sqliteError("reading"));
  }
  Statement version(stmt);
  int userVersion = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : 0;
  version.reset();

  if (userVersion == kSchemaVersion) {
    if (auto s = writer.exec(kCaseFoldedIndexes); !s) return fp::fail(s.error());
    return writer;
  }

  if (sqlite3_prepare_v2(raw, "SELECT count(*) FROM sqlite_master", -1, &stmt, nullptr) !=
      SQLITE_OK) {
    return fp::fail(writer.sqliteError("reading"));
  }
  Statement count(stmt);
  int objects = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : 0;
  count.reset();
  if (objects != 0 || userVersion != 0) {
    return fp::fail(fp::Error{"SQLite", SQLITE_CORRUPT,
                              path.string() +
                                  " holds a database that pell-refhost did not write; move it "
                                  "away or serve another account"});
  }
  std::string create = std::string("BEGIN IMMEDIATE;") + kSchema + kCaseFoldedIndexes +
                       "PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";COMMIT;";
  if (auto s = writer.exec(create.c_str()); !s) {
    (void)writer.exec("ROLLBACK");
    return fp::fail(s.error());
  }
  return writer;
}

fp::Status IndexWriter::exec(const char* sql) {
  char* message = nullptr;
  int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, &message);
  std::string text = message ? message : "";
  sqlite3_free(message);
  if (rc != SQLITE_OK) {
    return fp::fail(fp::Error{"SQLite", rc, "writing " + path_.string() + ": " + text});
  }
  return fp::Ok{};
}

fp::StatusOr<IndexWriter::Contents> IndexWriter::load() {
  Contents contents;
  auto add = [&contents](Entry e) {
    if (e.path.empty() || contents.catalog.count(e.path)) {
      contents.strays.push_back(std::move(e));
    } else {
      std::string key = e.path;
      contents.catalog.emplace(std::move(key), std::move(e));
    }
  };

  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_.get(), "SELECT ulid, name, parent_ulid, path, inode FROM folders", -1,
                         &stmt, nullptr) != SQLITE_OK) {
    return fp::fail(sqliteError("reading"));
  }
  Statement folders(stmt);
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    Entry e;
    e.isFolder = true;
    e.ulid = columnText(stmt, 0);
    e.name = columnText(stmt, 1);
    e.parentUlid = optionalText(stmt, 2);
    e.path = columnText(stmt, 3);
    e.inode = static_cast<std::uint64_t>(sqlite3_column_int64(stmt, 4));
    add(std::move(e));
  }
  if (rc != SQLITE_DONE) return fp::fail(sqliteError("reading"));

  if (sqlite3_prepare_v2(db_.get(),
                         "SELECT ulid, name, folder_ulid, size, mtime_unix, version_number, "
                         "locked_by_user_id, path, mtime_ns, inode FROM items",
                         -1, &stmt, nullptr) != SQLITE_OK) {
    return fp::fail(sqliteError("reading"));
  }
  Statement items(stmt);
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    Entry e;
    e.ulid = columnText(stmt, 0);
    e.name = columnText(stmt, 1);
    e.parentUlid = optionalText(stmt, 2);
    e.size = sqlite3_column_int64(stmt, 3);
    e.mtimeUnix = sqlite3_column_int64(stmt, 4);
    e.version = sqlite3_column_int64(stmt, 5);
    if (sqlite3_column_type(stmt, 6) != SQLITE_NULL) e.lockedBy = sqlite3_column_int64(stmt, 6);
    e.path = columnText(stmt, 7);
    e.mtimeNs = sqlite3_column_int64(stmt, 8);
    e.inode = static_cast<std::uint64_t>(sqlite3_column_int64(stmt, 9));
    add(std::move(e));
  }
  if (rc != SQLITE_DONE) return fp::fail(sqliteError("reading"));
  return contents;
}

fp::Status IndexWriter::apply(const Changes& changes) {
  if (changes.empty()) return fp::Ok{};
  if (auto s = run(kBegin); !s) return s;
  auto s = applyInTransaction(changes);
  if (s) s = run(kCommit);
  if (!s) (void)run(kRollback);
  return s;
}

fp::StatusOr<sqlite3_stmt*> IndexWriter::kept(Kept which) {
  static constexpr const char* kSql[kKinds] = {
      "BEGIN IMMEDIATE",
      "COMMIT",
      "ROLLBACK",
      "DELETE FROM folders WHERE ulid = ?",
      "DELETE FROM items WHERE ulid = ?",
      "INSERT OR REPLACE INTO folders(ulid, name, parent_ulid, path, inode) VALUES(?,?,?,?,?)",
      "INSERT OR REPLACE INTO items(ulid, name, folder_ulid, size, mtime_unix, version_number, "
      "locked_by_user_id, path, mtime_ns, inode) VALUES(?,?,?,?,?,?,?,?,?,?)"};
  auto& st = kept_[which];
  if (!st) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v3(db_.get(), kSql[which], -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr) !=
        SQLITE_OK) {
      sqlite3_finalize(raw);
      return fp::fail(sqliteError("writing"));
    }
    st.reset(raw);
  }
  return st.get();
}

fp::Status IndexWriter::run(Kept which) {
  auto st = kept(which);
  if (!st) return fp::fail(st.error());
  int rc = sqlite3_step(*st);
  fp::Status outcome = fp::Ok{};
  if (rc != SQLITE_DONE) outcome = fp::fail(sqliteError("writing"));
  sqlite3_reset(*st);
  sqlite3_clear_bindings(*st);
  return outcome;
}

fp::Status IndexWriter::applyInTransaction(const Changes& changes) {
  auto deleteFolder = kept(kDeleteFolder);
  auto deleteItem = kept(kDeleteItem);
  auto putFolder = kept(kPutFolder);
  auto putItem = kept(kPutItem);
  for (auto* st : {&deleteFolder, &deleteItem, &putFolder, &putItem}) {
    if (!*st) return fp::fail(st->error());
  }

  for (const Entry& e : changes.removals) {
    bindText(*(e.isFolder ? deleteFolder : deleteItem), 1, e.ulid);
    if (auto s = run(e.isFolder ? kDeleteFolder : kDeleteItem); !s) return s;
  }
  for (const Entry& e : changes.upserts) {
    if (e.isFolder) {
      sqlite3_stmt* stmt = *putFolder;
      bindText(stmt, 1, e.ulid);
      bindText(stmt, 2, e.name);
      bindOptionalText(stmt, 3, e.parentUlid);
      bindText(stmt, 4, e.path);
      sqlite3_bind_int64(stmt, 5, static_cast<sqlite3_int64>(e.inode));
      if (auto s = run(kPutFolder); !s) return s;
    } else {
      sqlite3_stmt* stmt = *putItem;
      bindText(stmt, 1, e.ulid);
      bindText(stmt, 2, e.name);
      bindOptionalText(stmt, 3, e.parentUlid);
      sqlite3_bind_int64(stmt, 4, e.size);
      sqlite3_bind_int64(stmt, 5, e.mtimeUnix);
      sqlite3_bind_int64(stmt, 6, e.version);
      if (e.lockedBy) {
        sqlite3_bind_int64(stmt, 7, *e.lockedBy);
      } else {
        sqlite3_bind_null(stmt, 7);
      }
      bindText(stmt, 8, e.path);
      sqlite3_bind_int64(stmt, 9, e.mtimeNs);
      sqlite3_bind_int64(stmt, 10, static_cast<sqlite3_int64>(e.inode));
      if (auto s = run(kPutItem); !s) return s;
    }
  }
  return fp::Ok{};
}

}  // namespace refhost
