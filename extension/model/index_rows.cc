#include "extension/model/index_rows.h"

#include "extension/platform/logs.h"

namespace pellora::index_detail {

Statement prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr);
  Statement st(raw);
  if (rc != SQLITE_OK || !st) {
    indexLog().error("prepare failed: %{public}s", {sqlite3_errmsg(db)});
    return nullptr;
  }
  return st;
}

void bindText(sqlite3_stmt* st, int index, std::string_view value) {
  const char* data = value.data() ? value.data() : "";
  sqlite3_bind_text64(st, index, data, value.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

Statement prepareWithParam(sqlite3* db, const char* sql, std::optional<std::string_view> param) {
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
  Statement st(raw);
  if (rc != SQLITE_OK || !st) {
    indexLog().error("prepare failed: %{public}s", {sqlite3_errmsg(db)});
    return nullptr;
  }
  if (param) bindText(st.get(), 1, *param);
  return st;
}

}  // namespace pellora::index_detail
