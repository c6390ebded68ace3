#include "fileprovider/fpctl/mount/item_state.h"

#include <cmath>

namespace fpctl::mount {

bool ListedItem::sameAttributes(const ListedItem& o) const {
  return filename == o.filename && isFolder == o.isFolder && capabilities == o.capabilities &&
         size == o.size && modified == o.modified && version == o.version;
}

bool ItemState::sameAttributes(const ItemState& o) const {
  return parent == o.parent && ListedItem::sameAttributes(o);
}

ItemState ItemState::in(const ListedItem& listed, fp::ItemIdentifier parent) {
  ItemState s;
  static_cast<ListedItem&>(s) = listed;
  s.parent = std::move(parent);
  return s;
}

ItemState ItemState::from(const fp::Item& item) {
  ItemState s;
  s.identifier = item.itemIdentifier();
  s.parent = item.parentItemIdentifier();
  s.filename = item.filename();
  auto type = item.contentType();
  s.isFolder = type && *type == fp::UTType::folder();
  s.capabilities = item.capabilities();
  s.size = item.documentSize();
  s.modified = item.contentModificationDate();
  s.version = item.itemVersion();
  return s;
}

struct stat statFor(const ListedItem& item, std::uint64_t ino, uid_t uid, gid_t gid) {
  struct stat st {};
  bool writable = item.allows(fp::capability::kAllowsWriting);
  st.st_ino = ino;
  if (item.isFolder) {
    st.st_mode = S_IFDIR | (writable ? 0755 : 0555);
    st.st_nlink = 2;
  } else {
    st.st_mode = S_IFREG | (writable ? 0644 : 0444);
    st.st_nlink = 1;
    st.st_size = item.size.value_or(0) < 0 ? 0 : item.size.value_or(0);
  }
  st.st_uid = uid;
  st.st_gid = gid;
  st.st_blksize = 65536;
  st.st_blocks = (st.st_size + 511) / 512;
  double when = item.modified.value_or(0);
  if (!std::isfinite(when)) when = 0;
  double whole = std::floor(when);
  st.st_mtim.tv_sec = static_cast<time_t>(whole);
  st.st_mtim.tv_nsec = static_cast<long>((when - whole) * 1e9);
  st.st_atim = st.st_mtim;
  st.st_ctim = st.st_mtim;
  return st;
}

}  // namespace fpctl::mount
