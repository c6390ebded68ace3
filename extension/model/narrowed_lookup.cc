#include "extension/model/narrowed_lookup.h"

#include <cstddef>
#include <utility>
#include <vector>

#include "extension/model/collisions.h"
#include "extension/model/display_names.h"
#include "extension/model/index_rows.h"
#include "extension/model/narrowed_reader.h"

namespace pellora::index_detail {
namespace {

// The first listed row of a ulid in a folder, as the listing orders it.
constexpr const char* kFirstRowOfUlidAtTop =
    "SELECT name FROM items WHERE ulid = ?1 AND folder_ulid IS NULL ORDER BY name LIMIT 1";
constexpr const char* kFirstRowOfUlidInFolder =
    "SELECT name FROM items WHERE ulid = ?1 AND folder_ulid = ?2 ORDER BY name LIMIT 1";

// True when both tables have an index on (parent column, name COLLATE
// NOCASE), which makes the narrowed reader's queries a few index searches.
// Without it they would walk the folder once per alternative. Told from the
// indexes' definitions in the schema, which the connection has read already:
// the index pragmas would cost more on a fresh connection than the rest of a
// look-up. A definition this check misreads costs speed, never a wrong
// answer: the narrowed queries are right with any index or none.
bool hasFoldedNameIndexes(sqlite3* db) {
  Statement st = prepare(db,
                         "SELECT tbl_name, sql FROM sqlite_schema WHERE type = 'index'"
                         " AND tbl_name IN ('items', 'folders') AND sql IS NOT NULL");
  if (!st) return false;
  bool items = false, folders = false;
  std::string scratch;
  while (sqlite3_step(st.get()) == SQLITE_ROW) {
    const bool isItems = columnText(st.get(), 0, scratch) == "items";
    // The definition without blanks or quotes, in lower case.
    std::string compact;
    for (char c : columnText(st.get(), 1, scratch)) {
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '"' || c == '`' || c == '[' ||
          c == ']') {
        continue;
      }
      compact += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    if (compact.find(")where") != std::string::npos) continue;  // a partial index
    const std::string want =
        isItems ? "(folder_ulid,namecollatenocase" : "(parent_ulid,namecollatenocase";
    auto at = compact.find(want);
    if (at == std::string::npos) continue;
    char next = at + want.size() < compact.size() ? compact[at + want.size()] : '\0';
    if (next != ')' && next != ',' && next != 'a' && next != 'd') continue;  // asc, desc
    (isItems ? items : folders) = true;
  }
  return items && folders;
}

// Whether the folder (the top level when none) has a subfolder, or whether
// that cannot be told. A folder without any has no folder names that could
// reserve a file's name, and the narrowed query of the folders is skipped:
// preparing it costs more than the rest of a look-up.
bool mayHaveSubfolders(sqlite3* db, std::optional<std::string_view> folder) {
  Statement st = prepare(db, folder ? "SELECT 1 FROM folders WHERE parent_ulid = ?1 LIMIT 1"
                                    : "SELECT 1 FROM folders WHERE parent_ulid IS NULL LIMIT 1");
  if (!st) return true;
  if (folder) bindText(st.get(), 1, *folder);
  return sqlite3_step(st.get()) != SQLITE_DONE;
}

}  // namespace

std::optional<std::string> narrowedDisplayName(sqlite3* db, std::string_view ulid,
                                               const IndexEntry& entry) {
  if (!hasFoldedNameIndexes(db)) return std::nullopt;
  const std::string key = Collisions::collisionKey(entry.name());
  if (key.empty()) return std::nullopt;
  std::optional<Collisions::AsciiLead> lead = Collisions::asciiLeadOfKey(key);
  if (!lead) return std::nullopt;
  std::optional<std::string_view> folder;
  if (entry.parentUlid()) folder = *entry.parentUlid();

  // The listing gives the ulid the display name of its first listed row; the
  // narrowed rows decide it only when that row has the key too.
  bool firstRowHasKey = false;
  std::string scratchName;
  {
    Statement st = prepare(db, folder ? kFirstRowOfUlidInFolder : kFirstRowOfUlidAtTop);
    if (!st) return std::nullopt;
    bindText(st.get(), 1, ulid);
    if (folder) bindText(st.get(), 2, *folder);
    if (sqlite3_step(st.get()) != SQLITE_ROW) return std::nullopt;
    firstRowHasKey = Collisions::hasCollisionKey(columnText(st.get(), 0, scratchName), key);
  }
  if (!firstRowHasKey) return std::nullopt;

  std::vector<std::pair<std::string, std::string>> namesakes;  // (ulid, name), listing order
  std::optional<std::size_t> requested;
  auto hasKey = [&](std::string_view name) {
    return Collisions::mayHaveKey(name, *lead) && Collisions::hasCollisionKey(name, key);
  };
  bool complete = forEachNarrowedRow(db, false, folder, *lead, hasKey,
                                     [&](std::string_view rowUlid, std::string_view rowName) {
                                       if (!requested && rowUlid == ulid)
                                         requested = namesakes.size();
                                       namesakes.emplace_back(rowUlid, rowName);
                                     });
  if (!complete || !requested) return std::nullopt;
  std::vector<std::string> reserved;
  if (mayHaveSubfolders(db, folder)) {
    complete = forEachNarrowedRow(
        db, true, folder, *lead, hasKey,
        [&](std::string_view, std::string_view name) { reserved.emplace_back(name); });
    if (!complete) return std::nullopt;
  }

  return displayNameAmong(namesakes, *requested, reserved);
}

}  // namespace pellora::index_detail
