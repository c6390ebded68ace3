// Where an item is shown in the mount, by its folder and display name: what
// a refused change is filed under, so that `fpctl status`, `fpctl retry` and
// `fpctl discard` name it as the user saw it.
#ifndef FPCTL_MOUNT_SHOWN_PATH_H_
#define FPCTL_MOUNT_SHOWN_PATH_H_

#include <string>

#include "fileprovider/fpctl/mount/mount_state.h"

namespace fpctl::mount {

// The path ("/Docs/report.txt") of the name `filename` in the folder
// `parent` as the mount shows it now; empty when the folder is not known to
// the mount (never listed, or gone). Takes the tree lock: the caller must not
// hold it.
[[nodiscard]] std::string shownPathOf(MountState& s, const fp::ItemIdentifier& parent,
                                      const std::string& filename);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_SHOWN_PATH_H_
