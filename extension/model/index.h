// Index: a short-lived read-only connection to one account's index database.
#ifndef PELLORA_MODEL_INDEX_H_
#define PELLORA_MODEL_INDEX_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "extension/model/index_entry.h"
#include "extension/platform/app_group.h"
#include "fileprovider/domain.h"

struct sqlite3;

namespace pellora {

class Index {
 public:
  static constexpr std::string_view appGroup = appGroupName;
  static constexpr std::string_view domainPrefix = "de.brightfold.pellora-connect-desktop.acct.";
  static constexpr std::string_view defaultDatabaseName = "state.db";

  // The account of a domain: the text after domainPrefix, else "primary".
  static std::string accountId(const fp::Domain& domain);
  // "state.db" for the primary account, else "state-" + account + ".db".
  static std::string databaseName(const fp::Domain& domain);

  // Opens the database `databaseName` in the container of `appGroup` read-only,
  // with a 3000 ms busy time-out. None when the container does not resolve, the
  // file does not exist (it is never created), or the open fails; the reason goes
  // to the "Index" log.
  static std::optional<Index> open(std::string_view appGroup = Index::appGroup,
                                   std::string_view databaseName = defaultDatabaseName);

  Index(Index&&) noexcept;
  Index& operator=(Index&&) noexcept;
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;
  ~Index();

  // The folder's subfolders, then its files with disambiguated display names;
  // none = the top level. Empty when the folder has no rows or a query fails.
  std::vector<IndexEntry> childrenOfFolder(std::optional<std::string_view> folderUlid) const;
  std::optional<IndexEntry> entryForFolder(std::string_view ulid) const;
  // The file with the display name its folder's listing gives it.
  std::optional<IndexEntry> entryForFile(std::string_view ulid) const;
  // A value that changes whenever another connection has committed a write to
  // the database, and stays equal while nothing is written. Never writes.
  std::int64_t dataVersion() const;

 private:
  struct Connection;
  explicit Index(std::unique_ptr<Connection> db);
  std::vector<IndexEntry> foldersWithParent(std::optional<std::string_view> parentUlid) const;
  std::vector<IndexEntry> filesInFolder(std::optional<std::string_view> folderUlid) const;
  // `entry` with the display name found by streaming its folder's whole listing.
  std::optional<IndexEntry> resolveByScan(std::string_view ulid,
                                          std::optional<IndexEntry> entry) const;

  std::unique_ptr<Connection> db_;
};

}  // namespace pellora

#endif  // PELLORA_MODEL_INDEX_H_
