// The narrowed read of a folder's names: the rows that may share a collision
// key, found by a few searches of a case-folded name index instead of a scan.
#ifndef PELLORA_MODEL_NARROWED_READER_H_
#define PELLORA_MODEL_NARROWED_READER_H_

#include <sqlite3.h>

#include <functional>
#include <optional>
#include <string_view>

#include "extension/model/collisions.h"

namespace pellora::index_detail {

// Calls `row(ulid, name)`, in listing order, for the rows of the folder's
// files (or subfolders, when `folders`) whose name passes `keep(name)`, among
// those that may have a collision key with the ASCII lead `lead`: a superset
// of the names with that key (see AsciiLead and NarrowedReader). Each
// alternative is one index search on a table with an index on (folder, name
// COLLATE NOCASE), which the host creates (see narrowed_lookup.cc); the
// range statement is prepared once and run per range. One statement OR-ing
// every alternative cost more to prepare than the rest of a look-up. Yields
// false when a statement cannot be prepared or stops early.
bool forEachNarrowedRow(sqlite3* db, bool folders, std::optional<std::string_view> folder,
                        const Collisions::AsciiLead& lead,
                        const std::function<bool(std::string_view)>& keep,
                        const std::function<void(std::string_view, std::string_view)>& row);

}  // namespace pellora::index_detail

#endif  // PELLORA_MODEL_NARROWED_READER_H_
