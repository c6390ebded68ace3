// A name the service refused because the folder holds an item of that name.
//
// The host application refuses a creation or a move onto a name that is taken
// with its "invalid_name" answer, and the extension passes that on as the Cocoa
// error 514 (invalid file name) alone, as for a name that is invalid in itself.
// The mount tells the two apart by asking the service for the folder again: when
// it now holds an item of the refused name, the name was taken, and programs get
// EEXIST ("File exists") instead of EINVAL.
#ifndef FPCTL_MOUNT_NAME_REFUSAL_H_
#define FPCTL_MOUNT_NAME_REFUSAL_H_

#include <string>

#include "fileprovider/error.h"
#include "fileprovider/fpctl/mount/provider_client.h"

namespace fpctl::mount {

// What refused the display name `name` in the folder `parent`.
struct NameRefusal {
  const fp::Error& error;
  fp::ItemIdentifier parent;
  std::string name;
  fp::ItemIdentifier moving;  // the item that was to take the name (empty: a new one)
};

// Whether `r` refused the name because an item of that name other than
// `r.moving` is in the folder: the error says so itself (filename collision,
// file exists), or it is an invalid file name (Cocoa 514) and the folder, listed
// again through `provider`, holds such an item. Lists only for Cocoa 514.
[[nodiscard]] bool refusedAsTaken(const ProviderClient& provider, const NameRefusal& r);

// The words a refusal is kept with in unsent/ and shown by `fpctl status`:
// `an item named "NAME" already exists there` when `taken`; otherwise the
// error's message, else its readable name ("invalid file name"), else its
// description.
[[nodiscard]] std::string refusalWords(const fp::Error& error, bool taken, const std::string& name);

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_NAME_REFUSAL_H_
