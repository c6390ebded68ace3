// Writes index databases for tests through its own SQLite connection, the way
// the host application does.
#ifndef PELLORA_TESTING_TEST_INDEX_H_
#define PELLORA_TESTING_TEST_INDEX_H_

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace pellora::testing {

enum class JournalMode { kRollback, kWal };

// Holds one read-write connection to a database file, creating the file.
class TestIndex {
 public:
  // Opens (creating) `path`. With `createSchema` the folders and items tables
  // are created (ulid primary keys, indexes on the parent columns).
  explicit TestIndex(const std::filesystem::path& path, bool createSchema = true,
                     JournalMode mode = JournalMode::kRollback);
  ~TestIndex();
  TestIndex(const TestIndex&) = delete;
  TestIndex& operator=(const TestIndex&) = delete;

  void addFolder(std::string_view ulid, std::string_view name,
                 std::optional<std::string_view> parent);
  void addFile(std::string_view ulid, std::string_view name, std::optional<std::string_view> folder,
               std::int64_t size = 0, std::int64_t mtime = 0, std::int64_t version = 1,
               std::optional<std::int64_t> lockedBy = std::nullopt);
  // Runs SQL (any number of statements); throws on failure.
  void exec(std::string_view sql);
  // Checkpoints the WAL into the database (WAL mode only).
  void checkpoint();
  // Closes the connection early (the destructor does nothing afterwards).
  void close();

  sqlite3* handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace pellora::testing

#endif  // PELLORA_TESTING_TEST_INDEX_H_
