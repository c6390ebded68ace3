#include "extension/model/index.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <utility>

#include "extension/model/collisions.h"
#include "extension/model/text.h"
#include "extension/platform/app_group.h"
#include "extension/platform/logs.h"
#include "fileprovider/file_manager.h"
#include "fileprovider/scoped_fd.h"

namespace pellora {
namespace {

struct CloseConnection {
  void operator()(sqlite3* db) const noexcept { sqlite3_close(db); }
};
using ConnectionHandle = std::unique_ptr<sqlite3, CloseConnection>;

struct FinalizeStatement {
  void operator()(sqlite3_stmt* st) const noexcept { sqlite3_finalize(st); }
};
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

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

constexpr int kBusyTimeoutMs = 3000;

// Prepares `sql`, binds `param` (if any) as text parameter 1, and calls
// `row(statement)` for each row until it returns false or the statement stops
// yielding rows. Anything but a row (done, busy after the time-out, an I/O error)
// ends the loop quietly; what was read so far stands. A statement that cannot be
// prepared is logged and reads as no rows.
template <class RowFn>
void forEachRow(sqlite3* db, const char* sql, std::optional<std::string_view> param, RowFn&& row) {
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
  Statement st(raw);
  if (rc != SQLITE_OK || !st) {
    indexLog().error("prepare failed: %{public}s", {sqlite3_errmsg(db)});
    return;
  }
  if (param) {
    // A null pointer would bind SQL NULL; the empty ulid is the empty text.
    const char* data = param->data() ? param->data() : "";
    sqlite3_bind_text64(st.get(), 1, data, param->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  }
  while (sqlite3_step(st.get()) == SQLITE_ROW) {
    if (!row(st.get())) break;
  }
}

// A text column as the index shows it: up to its first NUL byte, with ill-formed
// UTF-8 replaced by U+FFFD. The view points into the current row or into
// `scratch`, and lasts until the next step or the next use of `scratch`.
std::string_view columnText(sqlite3_stmt* st, int col, std::string& scratch) {
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

std::optional<std::string> optionalColumnText(sqlite3_stmt* st, int col, std::string& scratch) {
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

// Entries are built in place, in the list or in the optional.
auto emplaceInto(std::vector<IndexEntry>& out) {
  return [&out](auto&&... fields) { out.emplace_back(std::forward<decltype(fields)>(fields)...); };
}
auto emplaceInto(std::optional<IndexEntry>& out) {
  return [&out](auto&&... fields) { out.emplace(std::forward<decltype(fields)>(fields)...); };
}

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

// Gives the file entries (those of `entries` from `firstFile` on) the display
// names their folder shows: disambiguated against each other and against the
// names of the subfolders.
void applyDisplayNames(std::vector<IndexEntry>& entries, std::size_t firstFile,
                       std::span<const IndexEntry> subfolders) {
  std::vector<std::string_view> reserved;
  reserved.reserve(subfolders.size());
  for (const IndexEntry& f : subfolders) reserved.push_back(f.name());
  std::vector<Collisions::NamedUlid> named;
  named.reserve(entries.size() - firstFile);
  for (std::size_t i = firstFile; i < entries.size(); ++i) {
    named.push_back({entries[i].ulid(), entries[i].name()});
  }
  for (Collisions::Mark& m : Collisions::marks(reserved, named)) {
    entries[firstFile + m.position].setDisplayName(std::move(m.displayName));
  }
}

// The URI that opens `path` read-only. SQLite's URI parser decodes "%HH" and ends
// the path at "?" or "#", so those three are escaped; a path that starts with
// "//" would be taken for an authority, so its second slash is escaped too.
// Everything else stands as it is.
std::string readOnlyUri(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  uri.reserve(5 + path.size() + 16);
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
  uri += "?mode=ro";
  return uri;
}

// 64-bit FNV-1a over fixed-width little-endian fields: the same inputs give the
// same value in every process, as a persisted sync anchor needs.
class Fingerprint {
 public:
  void add(std::int64_t v) {
    auto u = static_cast<std::uint64_t>(v);
    for (int i = 0; i < 8; ++i) addByte(static_cast<unsigned char>(u >> (8 * i)));
  }
  void add(std::span<const unsigned char> bytes) {
    for (unsigned char b : bytes) addByte(b);
  }
  void addFile(const struct stat& st) {
    add(static_cast<std::int64_t>(st.st_dev));
    add(static_cast<std::int64_t>(st.st_ino));
    add(static_cast<std::int64_t>(st.st_size));
    add(static_cast<std::int64_t>(st.st_mtim.tv_sec));
    add(static_cast<std::int64_t>(st.st_mtim.tv_nsec));
  }
  // Non-negative and never 0, which stands for "no index".
  std::int64_t value() const {
    auto v = static_cast<std::int64_t>(hash_ & 0x7FFF'FFFF'FFFF'FFFFull);
    return v == 0 ? 1 : v;
  }

 private:
  void addByte(unsigned char b) {
    hash_ ^= b;
    hash_ *= 0x100000001B3ull;
  }
  std::uint64_t hash_ = 0xCBF29CE484222325ull;
};

// The first listed row of a ulid in a folder, as the listing orders it.
constexpr const char* kFirstRowOfUlidAtTop =
    "SELECT name FROM items WHERE ulid = ?1 AND folder_ulid IS NULL ORDER BY name LIMIT 1";
constexpr const char* kFirstRowOfUlidInFolder =
    "SELECT name FROM items WHERE ulid = ?1 AND folder_ulid = ?2 ORDER BY name LIMIT 1";

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

// A text above every text that starts with `prefix` (non-empty, ASCII): the
// prefix with its last byte raised by one. Under NOCASE a raised byte that
// becomes a capital compares as its lower case, which only widens the range.
std::string successor(std::string prefix) {
  prefix.back() = static_cast<char>(prefix.back() + 1);
  return prefix;
}

// True when both tables have an index on (parent column, name COLLATE
// NOCASE), which makes the narrowed queries below a few index searches.
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

// One row of a narrowed query: its name as SQLite orders it (storage class,
// then value), and its ulid and name as the reader reads them.
struct NarrowedRow {
  int storageClass = 0;  // in SQLite's order: 0 NULL, 1 number, 2 text, 3 blob
  bool integer = false;
  std::int64_t whole = 0;
  double real = 0;
  std::string bytes;  // of a text or blob
  std::string ulid, name;

  double number() const { return integer ? static_cast<double>(whole) : real; }
};

// ORDER BY name: the storage classes in SQLite's order, numbers by value,
// texts and blobs byte by byte (BINARY).
bool nameBefore(const NarrowedRow& a, const NarrowedRow& b) {
  if (a.storageClass != b.storageClass) return a.storageClass < b.storageClass;
  switch (a.storageClass) {
    case 0:
      return false;
    case 1:
      return a.integer && b.integer ? a.whole < b.whole : a.number() < b.number();
    default:
      return a.bytes < b.bytes;
  }
}

// The row's name as the reader reads it, when `keep(name)`, with the ulid and
// what ORDER BY name sorts by; none otherwise (nothing is copied then).
template <class KeepFn>
std::optional<NarrowedRow> readNarrowedRow(sqlite3_stmt* st, std::string& scratch, KeepFn&& keep) {
  NarrowedRow r;
  // The storage class, and a number's value, are read before any conversion.
  switch (sqlite3_column_type(st, 1)) {
    case SQLITE_NULL:
      r.storageClass = 0;
      break;
    case SQLITE_INTEGER:
      r.storageClass = 1;
      r.integer = true;
      r.whole = sqlite3_column_int64(st, 1);
      break;
    case SQLITE_FLOAT:
      r.storageClass = 1;
      r.real = sqlite3_column_double(st, 1);
      break;
    case SQLITE_TEXT:
      r.storageClass = 2;
      break;
    default:
      r.storageClass = 3;
      break;
  }
  std::string_view name = columnText(st, 1, scratch);
  if (!keep(name)) return std::nullopt;
  r.name = std::string(name);
  if (r.storageClass >= 2) {
    // Every byte, also after a NUL, as BINARY compares them.
    if (const void* p = sqlite3_column_blob(st, 1)) {
      r.bytes.assign(static_cast<const char*>(p),
                     static_cast<std::size_t>(sqlite3_column_bytes(st, 1)));
    }
  }
  r.ulid = std::string(columnText(st, 0, scratch));
  return r;
}

// The code points of UTF-8 text that ICU decomposed (well-formed).
std::vector<UChar32> codePoints(std::string_view s) {
  std::vector<UChar32> out;
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  const auto n = static_cast<std::int32_t>(s.size());
  for (std::int32_t i = 0; i < n;) {
    UChar32 c;
    U8_NEXT(p, i, n, c);
    out.push_back(c);
  }
  return out;
}

// Reads the candidates of forEachNarrowedRow (below). Under NOCASE, which
// folds only ASCII capitals, they are
//  - names that start with a prefix of the lead followed by a byte of 0x80 or
//    above (one range per prefix length; length 0 is everything from 0x80 on,
//    blobs included, which sort after all text),
//  - when the lead is the whole key: the key itself, and the key followed by
//    NUL (the reader cuts names at NUL),
//  - NULL and numbers, which read as text that the caller checks.
// A range of a prefix shorter than the lead that holds more than kBudget rows
// (a large folder whose names share the key's start up to an accented letter,
// "Café ..." or "Überweisung ...") is read again in finer ranges instead. The
// key's decomposition continues there with an ASCII letter c, so the name
// continues with a scalar whose decomposed lower case starts with c
// (asciiBasedScalars(c); a mark or any other scalar would put something else
// in its place). One range per such scalar; where the scalar spells the key's
// letter and all its marks, and the key goes on with a starter, the name goes
// on as a name of the rest of the key does, and its range is narrowed the same
// way again. Where a scalar spells only some of the marks (the name may add
// the others), its range is read whole; a scalar with a mark the key lacks
// cannot be part of the name. After kMaxRanges ranges nothing is split any
// more. The alternatives never overlap.
class NarrowedReader {
 public:
  NarrowedReader(sqlite3* db, bool folders, std::optional<std::string_view> folder,
                 const Collisions::AsciiLead& lead)
      : db_(db), folder_(folder), lead_(lead) {
    select_ = folders ? "SELECT ulid, name FROM folders WHERE parent_ulid"
                      : "SELECT ulid, name FROM items WHERE folder_ulid";
    select_ += folder ? " = ?1 AND " : " IS NULL AND ";
  }

  // The rows that pass `keep`, in the listing's order (ORDER BY name; rows of
  // one name stay in the order of the index, as in the listing); none when a
  // statement cannot be prepared or stops early.
  template <class KeepFn>
  std::optional<std::vector<NarrowedRow>> read(KeepFn&& keep) {
    keep_ = [&keep](std::string_view name) { return keep(name); };
    const std::string& lead = lead_.asciiLead;
    bool complete = once("name IS NULL") && once("name < ''");
    if (complete) {
      // Everything from 0x80 on, blobs included.
      Read r = run(open_, "name >= ?2 COLLATE NOCASE", Bound::text("\x80"), std::nullopt,
                   lead.empty() ? kAll : kBudget);
      if (r == Read::kOver) {
        complete = run(open_, "name >= ?2 COLLATE NOCASE", Bound::emptyBlob(), std::nullopt,
                       kAll) == Read::kDone &&
                   split("", 0);
      } else {
        complete = r == Read::kDone;
      }
    }
    for (std::size_t k = 1; complete && k <= lead.size(); ++k) {
      complete = prefixRange(lead.substr(0, k), k < lead.size() ? std::optional(k) : std::nullopt);
    }
    if (complete && lead_.wholeKey) {
      complete = run(range_, kRange, Bound::text(lead + std::string(1, '\0')),
                     Bound::text(lead + '\x01'), kAll) == Read::kDone &&
                 once("name = ?2 COLLATE NOCASE", lead);
    }
    if (!complete) return std::nullopt;
    std::stable_sort(rows_.begin(), rows_.end(), nameBefore);
    return std::move(rows_);
  }

 private:
  static constexpr std::size_t kAll = SIZE_MAX;
  static constexpr std::size_t kBudget = 64;
  static constexpr int kMaxRanges = 512;
  static constexpr const char* kRange = "name >= ?2 COLLATE NOCASE AND name < ?3 COLLATE NOCASE";
  enum class Read { kDone, kOver, kFailed };
  struct Bound {
    std::string bytes;
    bool blob = false;
    static Bound text(std::string s) { return {std::move(s), false}; }
    static Bound emptyBlob() { return {std::string(), true}; }
  };

  // Runs `condition` once, with `bound` as ?2 when given.
  bool once(const char* condition, std::optional<std::string> bound = std::nullopt) {
    Statement st = prepare(db_, select_ + condition);
    if (!st) return false;
    std::optional<Bound> lower;
    if (bound) lower = Bound::text(std::move(*bound));
    return step(st.get(), lower, std::nullopt, kAll) == Read::kDone;
  }

  // Runs the statement kept in `slot` (prepared on first use from
  // `condition`) with the bounds as ?2 and ?3. With a budget, stops once more
  // rows came than it allows and takes none of them (kOver).
  Read run(Statement& slot, const char* condition, const std::optional<Bound>& lower,
           const std::optional<Bound>& upper, std::size_t budget) {
    if (!slot) slot = prepare(db_, select_ + condition);
    if (!slot) return Read::kFailed;
    ++ranges_;
    return step(slot.get(), lower, upper, budget);
  }

  Read step(sqlite3_stmt* st, const std::optional<Bound>& lower, const std::optional<Bound>& upper,
            std::size_t budget) {
    sqlite3_reset(st);
    if (folder_) bindText(st, 1, *folder_);
    int index = 2;
    for (const auto* b : {&lower, &upper}) {
      if (!*b) continue;
      if ((*b)->blob) {
        sqlite3_bind_zeroblob(st, index++, 0);
      } else {
        bindText(st, index++, (*b)->bytes);
      }
    }
    const std::size_t before = rows_.size();
    std::size_t seen = 0;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      if (++seen > budget) {
        rows_.resize(before);
        sqlite3_reset(st);
        return Read::kOver;
      }
      if (auto r = readNarrowedRow(st, scratch_, keep_)) rows_.push_back(std::move(*r));
    }
    sqlite3_reset(st);
    return rc == SQLITE_DONE ? Read::kDone : Read::kFailed;
  }

  // The names that start with `prefix` (not empty) followed by a byte of 0x80
  // or above. `splitAt`: the position in the key's decomposition of the
  // character that follows `prefix` there, when it is an ASCII one; the range
  // may then be split.
  bool prefixRange(const std::string& prefix, std::optional<std::size_t> splitAt) {
    const bool splittable = splitAt.has_value() && ranges_ < kMaxRanges;
    Read r = run(range_, kRange, Bound::text(prefix + '\x80'), Bound::text(successor(prefix)),
                 splittable ? kBudget : kAll);
    if (r == Read::kOver) return split(prefix, *splitAt);
    return r == Read::kDone;
  }

  // The names that start with `prefix` and go on with a scalar that spells the
  // ASCII character at `at` in the key's decomposition (see above).
  bool split(const std::string& prefix, std::size_t at) {
    const std::string& d = lead_.decomposition;
    // The marks that follow that character in the key.
    std::size_t end = at + 1;
    const auto* p = reinterpret_cast<const std::uint8_t*>(d.data());
    const auto n = static_cast<std::int32_t>(d.size());
    for (auto i = static_cast<std::int32_t>(end); i < n;) {
      UChar32 c;
      U8_NEXT(p, i, n, c);
      if (c < 0 || u_getCombiningClass(c) == 0) break;
      end = static_cast<std::size_t>(i);
    }
    const std::string marks = d.substr(at + 1, end - at - 1);
    std::vector<UChar32> keyMarks = codePoints(marks);
    std::sort(keyMarks.begin(), keyMarks.end());
    for (const Collisions::AsciiBasedScalar& s : Collisions::asciiBasedScalars(d[at])) {
      const std::string spelled = prefix + s.utf8;
      const std::string_view rest = std::string_view(s.decomposition).substr(1);
      if (rest == marks) {
        // The scalar spells the letter and its marks: what follows is a name
        // of the rest of the key.
        if (!level(spelled, end)) return false;
        continue;
      }
      std::vector<UChar32> own = codePoints(rest);
      bool onlyMarks = std::all_of(own.begin(), own.end(),
                                   [](UChar32 c) { return c >= 0 && u_getCombiningClass(c) != 0; });
      std::sort(own.begin(), own.end());
      if (onlyMarks && !std::includes(keyMarks.begin(), keyMarks.end(), own.begin(), own.end())) {
        continue;  // a mark the key lacks
      }
      // The name may add the other marks, or the scalar is of a kind this does
      // not follow: all of its range.
      if (run(range_, kRange, Bound::text(spelled), Bound::text(successor(spelled)), kAll) !=
          Read::kDone) {
        return false;
      }
    }
    return true;
  }

  // The names that start with `prefix`, which spells the key's decomposition
  // up to `at` (a starter, or its end), and go on as a name of the rest.
  bool level(const std::string& prefix, std::size_t at) {
    const std::string& d = lead_.decomposition;
    std::size_t ascii = at;
    while (ascii < d.size() && static_cast<unsigned char>(d[ascii]) < 0x80) ++ascii;
    if (ascii == d.size()) {
      // The rest may be ASCII to its end, or to a NUL.
      std::string whole = prefix + d.substr(at);
      if (run(range_, kRange, Bound::text(whole), Bound::text(whole + '\x01'), kAll) !=
          Read::kDone) {
        return false;
      }
    }
    for (std::size_t k = at; k <= ascii; ++k) {
      std::string head = prefix + d.substr(at, k - at);
      if (!prefixRange(head, k < ascii ? std::optional(k) : std::nullopt)) return false;
    }
    return true;
  }

  sqlite3* db_;
  std::optional<std::string_view> folder_;
  const Collisions::AsciiLead& lead_;
  std::string select_;
  std::function<bool(std::string_view)> keep_;
  Statement range_, open_;
  std::vector<NarrowedRow> rows_;
  std::string scratch_;
  int ranges_ = 0;
};

// Calls `row(ulid, name)`, in listing order, for the rows of the folder's
// files (or subfolders, when `folders`) whose name passes `keep(name)`, among
// those that may have a collision key with the ASCII lead `lead`: a superset
// of the names with that key (see AsciiLead and NarrowedReader). Each
// alternative is one index search on a table with an index on (folder, name
// COLLATE NOCASE), which the host creates (see hasFoldedNameIndexes); the
// range statement is prepared once and run per range. One statement OR-ing
// every alternative cost more to prepare than the rest of a look-up. Yields
// false when a statement cannot be prepared or stops early.
template <class KeepFn, class RowFn>
bool forEachNarrowedRow(sqlite3* db, bool folders, std::optional<std::string_view> folder,
                        const Collisions::AsciiLead& lead, KeepFn&& keep, RowFn&& row) {
  NarrowedReader reader(db, folders, folder, lead);
  std::optional<std::vector<NarrowedRow>> rows = reader.read(keep);
  if (!rows) return false;
  for (const NarrowedRow& r : *rows) row(std::string_view(r.ulid), std::string_view(r.name));
  return true;
}

// The display name of namesakes[requested] among the files `namesakes` (ulid,
// name; listing order) that share its collision key, beside the subfolder names
// `reserved` of that key.
std::string displayNameAmong(const std::vector<std::pair<std::string, std::string>>& namesakes,
                             std::size_t requested, const std::vector<std::string>& reserved) {
  std::vector<std::string_view> reservedNames(reserved.begin(), reserved.end());
  std::vector<Collisions::NamedUlid> named;
  named.reserve(namesakes.size());
  for (const auto& [u, n] : namesakes) named.push_back({u, n});
  std::string displayName = namesakes[requested].second;
  for (Collisions::Mark& m : Collisions::marks(reservedNames, named)) {
    if (m.position == requested) displayName = std::move(m.displayName);
  }
  return displayName;
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
  if (std::optional<std::string> displayName = narrowedDisplayName(ulid, *entry)) {
    entry->setDisplayName(std::move(*displayName));
    return entry;
  }
  return resolveByScan(ulid, std::move(entry));
}

std::optional<std::string> Index::narrowedDisplayName(std::string_view ulid,
                                                      const IndexEntry& entry) const {
  sqlite3* db = db_->handle.get();
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

// "PRAGMA data_version" cannot serve here: on a connection opened afresh, as every
// Index is, it reads the same number whatever was written before. Instead the
// value is a fingerprint of what any committed write changes:
//  - the database file's identity, size and modification time (nanoseconds), and
//    its header's file change counter and page count (offsets 24 to 31), which
//    every commit in rollback-journal mode advances;
//  - the WAL file's identity, size, modification time and header (checkpoint
//    sequence, salts, checksums): every commit in WAL mode appends frames, and
//    every restart of the log draws new salts; after the last writer closes, the
//    log is gone and the checkpoint has rewritten the database file.
// The -shm file is left out, as readers write it. Nothing is written, no
// transaction is opened, and the cost is two stats and one read of the log header.
std::int64_t Index::dataVersion() const {
  if (!db_) return 0;
  sqlite3* db = db_->handle.get();
  Fingerprint fingerprint;

  const char* dbPath = sqlite3_db_filename(db, "main");
  struct stat st {};
  if (dbPath != nullptr && *dbPath != '\0' && ::stat(dbPath, &st) == 0) {
    fingerprint.addFile(st);
  } else {
    fingerprint.add(-1);
  }

  // The header is read through SQLite's own descriptor: opening and closing a
  // second descriptor on the database would drop the POSIX locks that other
  // connections of this process hold on it. A short read leaves zeros.
  std::array<unsigned char, 8> header{};
  sqlite3_file* file = nullptr;
  if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) == SQLITE_OK &&
      file != nullptr && file->pMethods != nullptr) {
    if (file->pMethods->xRead(file, header.data(), static_cast<int>(header.size()), 24) !=
        SQLITE_OK) {
      header.fill(0);
    }
  }
  fingerprint.add(header);

  // No connection holds locks on the WAL file itself, so it may be opened here.
  const char* walPath = dbPath ? sqlite3_filename_wal(dbPath) : nullptr;
  fp::ScopedFD wal;
  if (walPath != nullptr && *walPath != '\0') {
    wal.reset(fp::retryOnEintr([&] { return ::open(walPath, O_RDONLY | O_CLOEXEC); }));
  }
  struct stat walSt {};
  if (wal && ::fstat(wal.get(), &walSt) == 0) {
    fingerprint.addFile(walSt);
    std::array<unsigned char, 32> walHeader{};
    ssize_t n =
        fp::retryOnEintr([&] { return ::pread(wal.get(), walHeader.data(), walHeader.size(), 0); });
    if (n < 0) walHeader.fill(0);
    fingerprint.add(walHeader);
  } else {
    fingerprint.add(-2);  // no log
  }
  return fingerprint.value();
}

}  // namespace pellora
