// The narrowed look-up of one file's display name: decided from the rows of its
// folder that may share its collision key, without reading the whole folder.
#ifndef PELLORA_MODEL_NARROWED_LOOKUP_H_
#define PELLORA_MODEL_NARROWED_LOOKUP_H_

#include <sqlite3.h>

#include <optional>
#include <string>
#include <string_view>

#include "extension/model/index_entry.h"

namespace pellora::index_detail {

// The display name of the file `entry` (read by `ulid`), decided from the rows
// of its folder that may share its collision key; none when that does not
// decide it (the database lacks the case-folded name indexes, the file moved
// or was renamed meanwhile, or a query failed).
std::optional<std::string> narrowedDisplayName(sqlite3* db, std::string_view ulid,
                                               const IndexEntry& entry);

}  // namespace pellora::index_detail

#endif  // PELLORA_MODEL_NARROWED_LOOKUP_H_
