#include "fileprovider/fpctl/mount/inode_table.h"

#include <algorithm>

namespace fpctl::mount {

Node& InodeTable::addRoot(const ItemState& item) {
  auto node = std::make_unique<Node>();
  node->ino = kRootIno;
  node->item = item;
  node->lookups = 1;  // the kernel never forgets the root
  inoById_[node->item.identifier] = kRootIno;
  Node& root = *node;
  nodes_[kRootIno] = std::move(node);
  return root;
}

Node* InodeTable::find(Ino ino) {
  auto it = nodes_.find(ino);
  return it == nodes_.end() ? nullptr : it->second.get();
}

Node* InodeTable::findItem(const fp::ItemIdentifier& identifier) {
  auto id = inoById_.find(identifier);
  return id == inoById_.end() ? nullptr : find(id->second);
}

Ino InodeTable::inoFor(const fp::ItemIdentifier& identifier) {
  auto [it, inserted] = inoById_.try_emplace(identifier, nextIno_);
  if (inserted) ++nextIno_;
  return it->second;
}

Node& InodeTable::nodeForItem(Ino parent, const std::string& name, const ItemState& item) {
  Ino ino = inoFor(item.identifier);
  auto& slot = nodes_[ino];
  if (!slot) {
    slot = std::make_unique<Node>();
    slot->ino = ino;
    slot->item = item;
  } else if (!slot->work && !slot->local) {
    slot->item = item;
  }
  slot->attrStale = false;
  slot->parent = parent;
  slot->name = name;
  return *slot;
}

Node& InodeTable::addLocal() {
  auto node = std::make_unique<Node>();
  node->ino = nextIno_++;
  node->local = true;
  Node& added = *node;
  nodes_[added.ino] = std::move(node);
  return added;
}

void InodeTable::bind(const fp::ItemIdentifier& identifier, Ino ino) { inoById_[identifier] = ino; }

void InodeTable::forget(Ino ino, std::uint64_t count) {
  Node* n = find(ino);
  if (!n || ino == kRootIno) return;
  n->lookups -= std::min(count, n->lookups);
  dropIfIdle(ino);
}

void InodeTable::dropIfIdle(Ino ino) {
  Node* n = find(ino);
  if (!n || ino == kRootIno) return;
  if (n->lookups > 0 || n->opens > 0 || n->work || n->local || !n->localChildren.empty()) return;
  nodes_.erase(ino);  // inoById_ keeps the number for the item
  ++dropped_;
}

}  // namespace fpctl::mount
