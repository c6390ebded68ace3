// Reading the index's rows: statements, text columns, and the entries that
// folder and file rows make.
#ifndef PELLORA_MODEL_INDEX_ROWS_H_
#define PELLORA_MODEL_INDEX_ROWS_H_

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "extension/model/index_entry.h"
#include "extension/model/text.h"

namespace pellora::index_detail {

struct FinalizeStatement {
  void operator()(sqlite3_stmt* st) const noexcept { sqlite3_finalize(st); }
};
// A prepared statement, finalized when it goes.
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// `sql` prepared on `db`; null, with the reason in the "Index" log, when it
// cannot be prepared.
Statement prepare(sqlite3* db, const std::string& sql);

// Binds `value` as text parameter `index`. A null view binds the empty text,
// never SQL NULL: the empty ulid is the empty text.
void bindText(sqlite3_stmt* st, int index, std::string_view value);

// `sql` prepared on `db` with `param` (if any) bound as text parameter 1; null,
// logged, when it cannot be prepared.
Statement prepareWithParam(sqlite3* db, const char* sql, std::optional<std::string_view> param);

// Prepares `sql`, binds `param` (if any) as text parameter 1, and calls
// `row(statement)` for each row until it returns false or the statement stops
// yielding rows. Anything but a row (done, busy after the time-out, an I/O error)
// ends the loop quietly; what was read so far stands. A statement that cannot be
// prepared is logged and reads as no rows.
template <class RowFn>
void forEachRow(sqlite3* db, const char* sql, std::optional<std::string_view> param, RowFn&& row) {
  Statement st = prepareWithParam(db, sql, param);
  if (!st) return;
  while (sqlite3_step(st.get()) == SQLITE_ROW) {
    if (!row(st.get())) break;
  }
}

// A text column as the index shows it: up to its first NUL byte, with ill-formed
// UTF-8 replaced by U+FFFD. The view points into the current row or into
// `scratch`, and lasts until the next step or the next use of `scratch`. Inline:
// it runs on every column of a listing.
inline std::string_view columnText(sqlite3_stmt* st, int col, std::string& scratch) {
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, col));
  if (p == nullptr) return {};
  std::string_view s(p);  // SQLite's text is NUL-terminated
  if (!text::isAscii(s)) {
    if (std::optional<std::string> repaired = text::repairedUtf8(s)) {
      scratch = std::move(*repaired);
      return scratch;
    }
  }
  return s;
}

// As columnText, and none for SQL NULL.
inline std::optional<std::string> optionalColumnText(sqlite3_stmt* st, int col,
                                                     std::string& scratch) {
  // The storage class is asked before any conversion of the value.
  if (sqlite3_column_type(st, col) == SQLITE_NULL) return std::nullopt;
  return std::string(columnText(st, col, scratch));
}

// Reads a row of (ulid, name, parent_ulid) and passes the fields of its folder
// entry, in IndexEntry's constructor order, to `make`.
template <class Make>
void readFolderRow(sqlite3_stmt* st, Make&& make) {
  std::string scratch;
  std::string name(columnText(st, 1, scratch));
  std::string displayName = name;
  make(std::string(columnText(st, 0, scratch)), std::move(name), optionalColumnText(st, 2, scratch),
       true, std::int64_t{0}, TimePoint{}, std::int64_t{0}, std::optional<std::int64_t>(),
       std::move(displayName));
}

// Reads a row of (ulid, name, folder_ulid, size, mtime_unix, version_number,
// locked_by_user_id) and passes the fields of its file entry to `make`.
template <class Make>
void readFileRow(sqlite3_stmt* st, Make&& make) {
  std::string scratch;
  std::string name(columnText(st, 1, scratch));
  std::string displayName = name;
  std::optional<std::int64_t> lockedBy;
  if (sqlite3_column_type(st, 6) != SQLITE_NULL) lockedBy = sqlite3_column_int64(st, 6);
  make(std::string(columnText(st, 0, scratch)), std::move(name), optionalColumnText(st, 2, scratch),
       false, sqlite3_column_int64(st, 3),
       TimePoint(std::chrono::duration<double>(static_cast<double>(sqlite3_column_int64(st, 4)))),
       sqlite3_column_int64(st, 5), lockedBy, std::move(displayName));
}

// A `make` for the readers above that builds the entry in place, at the end of
// the list or in the optional.
inline auto emplaceInto(std::vector<IndexEntry>& out) {
  return [&out](auto&&... fields) { out.emplace_back(std::forward<decltype(fields)>(fields)...); };
}
inline auto emplaceInto(std::optional<IndexEntry>& out) {
  return [&out](auto&&... fields) { out.emplace(std::forward<decltype(fields)>(fields)...); };
}

}  // namespace pellora::index_detail

#endif  // PELLORA_MODEL_INDEX_ROWS_H_
