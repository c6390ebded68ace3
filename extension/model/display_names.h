// The display names a folder's listing gives its files, for the whole listing
// or for one file among its namesakes.
#ifndef PELLORA_MODEL_DISPLAY_NAMES_H_
#define PELLORA_MODEL_DISPLAY_NAMES_H_

#include <cstddef>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "extension/model/index_entry.h"

namespace pellora::index_detail {

// Gives the file entries (those of `entries` from `firstFile` on) the display
// names their folder shows: disambiguated against each other and against the
// names of the subfolders.
void applyDisplayNames(std::vector<IndexEntry>& entries, std::size_t firstFile,
                       std::span<const IndexEntry> subfolders);

// The display name of namesakes[requested] among the files `namesakes` (ulid,
// name; listing order) that share its collision key, beside the subfolder names
// `reserved` of that key.
std::string displayNameAmong(const std::vector<std::pair<std::string, std::string>>& namesakes,
                             std::size_t requested, const std::vector<std::string>& reserved);

}  // namespace pellora::index_detail

#endif  // PELLORA_MODEL_DISPLAY_NAMES_H_
