// Identifiers as they are written on fpctl's command line: the aliases of the
// platform's containers, paths of display names, and raw identifiers.
#ifndef FPCTL_IDENTIFIERS_H_
#define FPCTL_IDENTIFIERS_H_

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fileprovider/error.h"
#include "fileprovider/item.h"

namespace fpctl {

// "@root", "@workingset" and "@trash" name the platform's containers; none for
// any other text.
std::optional<fp::ItemIdentifier> containerAlias(std::string_view arg);

// The components of a path of display names: "/Documents//Report.pdf/" gives
// {"Documents", "Report.pdf"}; "/" gives none.
std::vector<std::string> pathComponents(std::string_view path);

// Lists every child of a container (all pages), in the extension's order.
using ChildLister =
    std::function<fp::StatusOr<std::vector<fp::ItemPtr>>(const fp::ItemIdentifier& container)>;

// Resolves a command-line identifier: an alias gives its container; text that
// starts with "/" is a path of display names, looked up by listing from the
// root, each component matched exactly against the children's filenames (the
// first match in listing order wins); anything else is a raw identifier, passed
// on unchanged. A missing component fails with noSuchItem (-1005), whose
// message names it; a failed listing fails with the listing's error.
fp::StatusOr<fp::ItemIdentifier> resolveIdentifier(std::string_view arg,
                                                   const ChildLister& children);

}  // namespace fpctl

#endif  // FPCTL_IDENTIFIERS_H_
