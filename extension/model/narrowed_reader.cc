#include "extension/model/narrowed_reader.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "extension/model/index_rows.h"

namespace pellora::index_detail {
namespace {

// A text above every text that starts with `prefix` (non-empty, ASCII): the
// prefix with its last byte raised by one. Under NOCASE a raised byte that
// becomes a capital compares as its lower case, which only widens the range.
std::string successor(std::string prefix) {
  prefix.back() = static_cast<char>(prefix.back() + 1);
  return prefix;
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

// Reads the candidates of forEachNarrowedRow. Under NOCASE, which
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
  std::optional<std::vector<NarrowedRow>> read(const std::function<bool(std::string_view)>& keep) {
    keep_ = keep;
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
  // No budget: the range is read whole.
  static constexpr std::size_t kAll = SIZE_MAX;
  // The rows a splittable range may hold before it is read again in finer
  // ranges. So few rows are read whole faster than the one range per spelling
  // of the next letter that a split runs; a folder of many names that share an
  // accented start holds far more.
  static constexpr std::size_t kBudget = 64;
  // The ranges after which nothing is split any more: a key whose every letter
  // splits must not run more statements than a scan of its folder would cost.
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

}  // namespace

bool forEachNarrowedRow(sqlite3* db, bool folders, std::optional<std::string_view> folder,
                        const Collisions::AsciiLead& lead,
                        const std::function<bool(std::string_view)>& keep,
                        const std::function<void(std::string_view, std::string_view)>& row) {
  NarrowedReader reader(db, folders, folder, lead);
  std::optional<std::vector<NarrowedRow>> rows = reader.read(keep);
  if (!rows) return false;
  for (const NarrowedRow& r : *rows) row(std::string_view(r.ulid), std::string_view(r.name));
  return true;
}

}  // namespace pellora::index_detail
