#include "fileprovider/fpctl/mount/shown_path.h"

#include <mutex>
#include <vector>

#include "fileprovider/fpctl/mount/name_codec.h"

namespace fpctl::mount {

std::string shownPathOf(MountState& s, const fp::ItemIdentifier& parent,
                        const std::string& filename) {
  const fp::ItemIdentifier folder = s.cache.queue().resolve(parent);
  std::lock_guard lock(s.mu);
  const Node* at = s.inodes.findItem(folder);
  if (!at) return {};
  std::vector<std::string> names = {posixName(filename)};
  // Bounded: a table damaged into a loop must not hang the caller.
  for (int depth = 0; at && at->ino != kRootIno && depth < 4096; ++depth) {
    names.push_back(at->name);
    at = s.inodes.find(at->parent);
  }
  if (!at) return {};  // a folder no longer in the tree
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) path += "/" + *it;
  return path;
}

}  // namespace fpctl::mount
