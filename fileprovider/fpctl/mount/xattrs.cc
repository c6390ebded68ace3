#include "fileprovider/fpctl/mount/xattrs.h"

#include <cerrno>
#include <vector>

#include "fileprovider/fpctl/mount/node_tree.h"
#include "fileprovider/fpctl/mount/open_files.h"
#include "fileprovider/fpctl/mount/residency.h"

namespace fpctl::mount {

namespace {

constexpr std::string_view kXattrState = "user.fileprovider.state";
constexpr std::string_view kXattrIdentifier = "user.fileprovider.identifier";
constexpr std::string_view kXattrVersion = "user.fileprovider.version";
constexpr std::string_view kXattrPinned = "user.fileprovider.pinned";
constexpr std::string_view kXattrEvict = "user.fileprovider.evict";

// Names of a kind no item has (see the header).
bool unsupported(std::string_view name) {
  return name.starts_with("security.") || name.starts_with("system.posix_acl_");
}

}  // namespace

ErrnoOr<std::string> Xattrs::stateOf(Ino ino) {
  ItemState item;
  std::vector<fp::ItemIdentifier> chain;
  bool hasWork = false;
  {
    std::lock_guard lock(s_.mu);
    Node* n = s_.inodes.find(ino);
    if (!n) return fp::fail(Errno{ENOENT});
    item = n->item;
    chain = tree_.chainLocked(*n);
    if (!item.isFolder) {
      if (n->local || (n->work && n->work->dirty()) || s_.sendingKey == keyOf(*n)) {
        return std::string("uploading");
      }
      if (n->work && n->work->queuedOnly.load()) return std::string("unsent");
      hasWork = n->work != nullptr;
    }
  }
  if (item.isFolder) return std::string(residency_.anyPinned(chain) ? "pinned" : "local");
  if (residency_.waitsInQueue(item.identifier)) return std::string("unsent");
  const bool here = hasWork || s_.cache.has(item.identifier, item.version.contentVersion);
  // Pinned, but the version the service has now is not on this device yet.
  if (residency_.anyPinned(chain)) return std::string(here ? "pinned" : "pinning");
  return std::string(here ? "local" : "cloud");
}

ErrnoOr<std::string> Xattrs::getxattr(Ino ino, std::string_view name) {
  if (name == kXattrState) return stateOf(ino);
  if (unsupported(name)) return fp::fail(Errno{ENOTSUP});
  if (name != kXattrIdentifier && name != kXattrVersion && name != kXattrPinned) {
    return fp::fail(Errno{ENODATA});
  }
  ItemState item;
  std::vector<fp::ItemIdentifier> chain;
  {
    std::lock_guard lock(s_.mu);
    Node* n = s_.inodes.find(ino);
    if (!n) return fp::fail(Errno{ENOENT});
    item = n->item;
    chain = tree_.chainLocked(*n);
  }
  if (name == kXattrPinned) return std::string(residency_.anyPinned(chain) ? "1" : "0");
  const std::string& value =
      name == kXattrIdentifier ? item.identifier : item.version.contentVersion;
  if (value.empty()) return fp::fail(Errno{ENODATA});
  return value;
}

ErrnoOr<std::string> Xattrs::listxattr(Ino ino) {
  ItemState item;
  {
    std::lock_guard lock(s_.mu);
    Node* n = s_.inodes.find(ino);
    if (!n) return fp::fail(Errno{ENOENT});
    item = n->item;
  }
  std::string names;
  auto add = [&](std::string_view name) {
    names += name;
    names += '\0';
  };
  add(kXattrState);
  if (!item.identifier.empty()) add(kXattrIdentifier);
  if (!item.version.contentVersion.empty()) add(kXattrVersion);
  add(kXattrPinned);
  return names;
}

ErrnoOr<void> Xattrs::setxattr(Ino ino, std::string_view name, std::string_view value) {
  if (name == kXattrPinned) {
    if (value == "1") return residency_.pin(ino);
    if (value == "0") return residency_.unpin(ino);
    return fp::fail(Errno{EINVAL});
  }
  if (name == kXattrEvict) {
    if (value == "1") return residency_.evict(ino);
    return fp::fail(Errno{EINVAL});
  }
  if (name == kXattrState || name == kXattrIdentifier || name == kXattrVersion) {
    return fp::fail(Errno{EPERM});
  }
  return fp::fail(Errno{ENOTSUP});
}

ErrnoOr<void> Xattrs::removexattr(Ino ino, std::string_view name) {
  if (name == kXattrPinned) return residency_.unpin(ino);
  if (name == kXattrState || name == kXattrIdentifier || name == kXattrVersion) {
    return fp::fail(Errno{EPERM});
  }
  return fp::fail(Errno{ENODATA});
}

}  // namespace fpctl::mount
