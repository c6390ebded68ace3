#include "extension/model/index.h"

#include <sqlite3.h>

#include <cstdint>
#include <span>
#include <utility>

#include "extension/model/collisions.h"
#include "extension/model/data_version.h"
#include "extension/model/display_names.h"
#include "extension/model/index_rows.h"
#include "extension/model/narrowed_lookup.h"
#include "extension/platform/app_group.h"
#include "extension/platform/logs.h"
#include "fileprovider/file_manager.h"

namespace pellora {
namespace {

using index_detail::applyDisplayNames;
using index_detail::columnText;
using index_detail::displayNameAmong;
using index_detail::emplaceInto;
using index_detail::forEachRow;
using index_detail::readFileRow;
using index_detail::readFolderRow;

struct CloseConnection {
  void operator()(sqlite3* db) const noexcept { sqlite3_close(db); }
};
using ConnectionHandle = std::unique_ptr<sqlite3, CloseConnection>;

constexpr const char* kTopLevelFolders =
    "SELECT ulid, name, parent_ulid FROM folders WHERE parent_ulid IS NULL ORDER BY name";
constexpr const char* kFoldersWithParent =
    "SELECT ulid, name, parent_ulid FROM folders WHERE parent_ulid = ? ORDER BY name";
constexpr const char* kFolderByUlid =
    "SELECT ulid, name, parent_ulid FROM folders WHERE ulid = ? LIMIT 1";
constexpr const char* kTopLevelFiles =
    "SELECT ulid, name, folder_ulid, size, mtime_unix, version_number, locked_by_user_id"
    " FROM items WHERE folder_ulid IS NULL ORDER BY name";
constexpr const char* kFilesInFolder =
    "SELECT ulid, name, folder_ulid, size, mtime_unix, version_number, locked_by_user_id"
    " FROM items WHERE folder_ulid = ? ORDER BY name";
constexpr const char* kFileByUlid =
    "SELECT ulid, name, folder_ulid, size, mtime_unix, version_number, locked_by_user_id\n"
    "FROM items WHERE ulid = ? LIMIT 1";

// How long a read waits for the host's writer before it gives up. The host's
// commits take milliseconds; a writer that holds the database longer than this
// is stuck, and the platform's caller should get an answer rather than hang.
constexpr int kBusyTimeoutMs = 3000;

void appendFolders(sqlite3* db, std::optional<std::string_view> parent,
                   std::vector<IndexEntry>& out) {
  forEachRow(db, parent ? kFoldersWithParent : kTopLevelFolders, parent, [&](sqlite3_stmt* st) {
    readFolderRow(st, emplaceInto(out));
    return true;
  });
}

void appendFiles(sqlite3* db, std::optional<std::string_view> folder,
                 std::vector<IndexEntry>& out) {
  forEachRow(db, folder ? kFilesInFolder : kTopLevelFiles, folder, [&](sqlite3_stmt* st) {
    readFileRow(st, emplaceInto(out));
    return true;
  });
}

// The URI that opens `path` read-only. SQLite's URI parser decodes "%HH" and ends
// the path at "?" or "#", so those three are escaped; a path that starts with
// "//" would be taken for an authority, so its second slash is escaped too.
// Everything else stands as it is.
std::string readOnlyUri(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  static constexpr std::string_view kScheme = "file:";
  static constexpr std::string_view kReadOnly = "?mode=ro";
  // Room for the query and a few escapes (two more bytes each): the text is
  // then built without growing.
  static constexpr std::size_t kSpareBytes = 16;
  std::string uri(kScheme);
  uri.reserve(kScheme.size() + path.size() + kSpareBytes);
  for (std::size_t i = 0; i < path.size(); ++i) {
    char c = path[i];
    if (c == '%' || c == '?' || c == '#' || (i == 1 && c == '/' && path[0] == '/')) {
      auto b = static_cast<unsigned char>(c);
      uri += '%';
      uri += kHex[b >> 4];
      uri += kHex[b & 0xF];
    } else {
      uri += c;
    }
  }
  uri += kReadOnly;
  return uri;
}

}  // namespace

struct Index::Connection {
  explicit Connection(ConnectionHandle h) : handle(std::move(h)) {}
  ConnectionHandle handle;
};

Index::Index(std::unique_ptr<Connection> db) : db_(std::move(db)) {}
Index::Index(Index&&) noexcept = default;
Index& Index::operator=(Index&&) noexcept = default;
Index::~Index() = default;

std::string Index::accountId(const fp::Domain& domain) {
  std::string_view id = domain.identifier;
  if (id.starts_with(domainPrefix)) return std::string(id.substr(domainPrefix.size()));
  return "primary";
}

std::string Index::databaseName(const fp::Domain& domain) {
  std::string_view id = domain.identifier;
  if (!id.starts_with(domainPrefix)) return std::string(defaultDatabaseName);
  std::string_view account = id.substr(domainPrefix.size());
  if (account == "primary") return std::string(defaultDatabaseName);
  std::string name = "state-";
  name += account;
  name += ".db";
  return name;
}

std::optional<Index> Index::open(std::string_view appGroup, std::string_view databaseName) {
  std::optional<std::filesystem::path> container = appGroupContainer(appGroup);
  if (!container) {
    indexLog().error("app group %{public}@ did not resolve", {appGroup});
    return std::nullopt;
  }
  // The name is appended as one component: even a name that starts with "/"
  // stays inside the container.
  std::string path = container->string();
  if (path.empty() || path.back() != '/') path += '/';
  path += databaseName;
  if (!fp::FileManager::defaultManager().fileExists(path)) {
    indexLog().info("no index at %{public}@ yet", {path});
    return std::nullopt;
  }
  sqlite3* raw = nullptr;
  // An Index is used by one thread at a time, so SQLite need not lock the
  // connection for every call (every column read of a listing took and
  // released a mutex).
  int rc = sqlite3_open_v2(readOnlyUri(path).c_str(), &raw,
                           SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
  ConnectionHandle db(raw);
  if (rc != SQLITE_OK) {
    indexLog().error("opening index failed: %{public}s", {sqlite3_errmsg(db.get())});
    return std::nullopt;
  }
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  return Index(std::make_unique<Connection>(std::move(db)));
}

std::vector<IndexEntry> Index::foldersWithParent(std::optional<std::string_view> parentUlid) const {
  std::vector<IndexEntry> folders;
  if (db_) appendFolders(db_->handle.get(), parentUlid, folders);
  return folders;
}

std::vector<IndexEntry> Index::filesInFolder(std::optional<std::string_view> folderUlid) const {
  std::vector<IndexEntry> files;
  if (db_) appendFiles(db_->handle.get(), folderUlid, files);
  return files;
}

std::vector<IndexEntry> Index::childrenOfFolder(std::optional<std::string_view> folderUlid) const {
  if (!db_) return {};
  // Subfolders and files are read into one list, which is returned as it is.
  std::vector<IndexEntry> children;
  appendFolders(db_->handle.get(), folderUlid, children);
  std::size_t folderCount = children.size();
  appendFiles(db_->handle.get(), folderUlid, children);
  applyDisplayNames(children, folderCount, std::span(children).first(folderCount));
  return children;
}

std::optional<IndexEntry> Index::entryForFolder(std::string_view ulid) const {
  std::optional<IndexEntry> entry;
  if (!db_) return entry;
  forEachRow(db_->handle.get(), kFolderByUlid, ulid, [&](sqlite3_stmt* st) {
    readFolderRow(st, emplaceInto(entry));
    return false;
  });
  return entry;
}

std::optional<IndexEntry> Index::entryForFile(std::string_view ulid) const {
  std::optional<IndexEntry> entry;
  if (!db_) return entry;
  sqlite3* db = db_->handle.get();
  forEachRow(db, kFileByUlid, ulid, [&](sqlite3_stmt* st) {
    readFileRow(st, emplaceInto(entry));
    return false;
  });
  if (!entry) return entry;
  if (std::optional<std::string> displayName =
          index_detail::narrowedDisplayName(db, ulid, *entry)) {
    entry->setDisplayName(std::move(*displayName));
    return entry;
  }
  return resolveByScan(ulid, std::move(entry));
}

std::optional<IndexEntry> Index::resolveByScan(std::string_view ulid,
                                               std::optional<IndexEntry> entry) const {
  sqlite3* db = db_->handle.get();

  // The display name depends only on the folder's names that share the file's
  // collision key, so only those are kept while its listing streams by.
  std::optional<std::string_view> folder;
  if (entry->parentUlid()) folder = *entry->parentUlid();
  const std::string key = Collisions::collisionKey(entry->name());
  std::vector<std::pair<std::string, std::string>> namesakes;  // (ulid, name), listing order
  std::optional<std::size_t> requested;                        // index into namesakes
  bool listed = false;   // a file with the ulid appeared in the listing
  bool renamed = false;  // ... but under a name of another key
  std::string scratch, scratchName;
  forEachRow(db, folder ? kFilesInFolder : kTopLevelFiles, folder, [&](sqlite3_stmt* st) {
    std::string_view rowUlid = columnText(st, 0, scratch);
    std::string_view rowName = columnText(st, 1, scratchName);
    bool same = Collisions::hasCollisionKey(rowName, key);
    bool first = !listed && rowUlid == ulid;
    if (first) {
      listed = true;
      renamed = !same;
    }
    if (same) {
      namesakes.emplace_back(rowUlid, rowName);
      if (first) requested = namesakes.size() - 1;
    }
    return true;
  });
  std::vector<std::string> reserved;
  forEachRow(db, folder ? kFoldersWithParent : kTopLevelFolders, folder, [&](sqlite3_stmt* st) {
    std::string_view name = columnText(st, 1, scratch);
    if (Collisions::hasCollisionKey(name, key)) reserved.emplace_back(name);
    return true;
  });

  if (renamed) {
    // The file was renamed between the statements: resolve the whole folder as a
    // listing would.
    std::vector<IndexEntry> subfolders = foldersWithParent(folder);
    std::vector<IndexEntry> files = filesInFolder(folder);
    applyDisplayNames(files, 0, subfolders);
    for (const IndexEntry& f : files) {
      if (f.ulid() == ulid) {
        entry->setDisplayName(f.displayName());
        break;
      }
    }
    return entry;
  }
  if (!requested) return entry;  // the file left the folder between the statements

  entry->setDisplayName(displayNameAmong(namesakes, *requested, reserved));
  return entry;
}

std::int64_t Index::dataVersion() const {
  if (!db_) return 0;
  return index_detail::indexDataVersion(db_->handle.get());
}

}  // namespace pellora
