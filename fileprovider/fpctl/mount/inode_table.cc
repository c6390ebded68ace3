#include "fileprovider/fpctl/mount/inode_table.h"

#include <algorithm>

namespace fpctl::mount {

Node& InodeTable::addRoot(const ItemState& item) {
  auto node = std::make_unique<Node>();
  node->ino = kRootIno;
  node->item = item;
  node->lookups = 1;  // the kernel never forgets the root
  inoById_[keep(node->item.identifier)] = kRootIno;
  Node& root = *node;
  nodes_[kRootIno] = std::move(node);
  return root;
}

Node* InodeTable::peek(Ino ino) {
  auto it = nodes_.find(ino);
  return it == nodes_.end() ? nullptr : it->second.get();
}

Node* InodeTable::peekItem(const fp::ItemIdentifier& identifier) {
  auto id = inoById_.find(identifier);
  return id == inoById_.end() ? nullptr : peek(id->second);
}

Node* InodeTable::find(Ino ino) {
  if (Node* n = peek(ino)) return n;
  auto h = held_.find(ino);
  if (h == held_.end()) return nullptr;
  Node* dir = find(h->second.parent);
  if (!dir || !dir->listing) return nullptr;
  auto listed = dir->listing->byName.find(*h->second.name);
  if (listed == dir->listing->byName.end() || inoFor(listed->second.identifier) != ino) {
    return nullptr;
  }
  return &nodeForItem(dir->ino, listed->first, ItemState::in(listed->second, dir->item.identifier));
}

Node* InodeTable::findItem(const fp::ItemIdentifier& identifier) {
  auto id = inoById_.find(identifier);
  return id == inoById_.end() ? nullptr : find(id->second);
}

void InodeTable::hold(Ino parent, const Listing::Entry& listed, Ino ino) {
  if (Node* n = peek(ino)) {
    ++n->lookups;
    return;
  }
  auto [it, added] = held_.try_emplace(ino);
  if (added || it->second.parent != parent) {
    if (!added) {
      if (Node* was = peek(it->second.parent); was && was->heldChildren > 0) --was->heldChildren;
    }
    if (Node* dir = peek(parent)) ++dir->heldChildren;
    it->second.parent = parent;
  }
  it->second.name = &listed.first;
  ++it->second.lookups;
}

void InodeTable::relist(Ino ino, const Listing::Entry& listed) {
  if (auto it = held_.find(ino); it != held_.end()) it->second.name = &listed.first;
}

const HeldItem* InodeTable::held(Ino ino) const {
  auto it = held_.find(ino);
  return it == held_.end() ? nullptr : &it->second;
}

std::vector<Ino> InodeTable::heldIn(Ino parent) const {
  std::vector<Ino> found;
  for (const auto& [ino, h] : held_) {
    if (h.parent == parent) found.push_back(ino);
  }
  return found;
}

void InodeTable::absorbHeld(Node& n) {
  auto it = held_.find(n.ino);
  if (it == held_.end()) return;
  n.lookups += it->second.lookups;
  if (Node* dir = peek(it->second.parent); dir && dir->heldChildren > 0) --dir->heldChildren;
  held_.erase(it);
}

void InodeTable::dropHeld(std::unordered_map<Ino, HeldItem>::iterator it) {
  const Ino parent = it->second.parent;
  held_.erase(it);
  if (Node* dir = peek(parent); dir && dir->heldChildren > 0) {
    if (--dir->heldChildren == 0) dropIfIdle(parent);
  }
}

std::string_view InodeTable::keep(const fp::ItemIdentifier& identifier) {
  if (identifier.empty()) return {};
  auto* bytes = static_cast<char*>(identifiers_.allocate(identifier.size(), 1));
  std::copy(identifier.begin(), identifier.end(), bytes);
  return {bytes, identifier.size()};
}

Ino InodeTable::inoFor(const fp::ItemIdentifier& identifier) {
  if (auto it = inoById_.find(identifier); it != inoById_.end()) return it->second;
  inoById_.emplace(keep(identifier), nextIno_);
  return nextIno_++;
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
  absorbHeld(*slot);  // after the name is copied: it may be the held entry's
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

void InodeTable::bind(const fp::ItemIdentifier& identifier, Ino ino) {
  if (auto it = inoById_.find(identifier); it != inoById_.end()) {
    it->second = ino;
  } else {
    inoById_.emplace(keep(identifier), ino);
  }
}

void InodeTable::forget(Ino ino, std::uint64_t count) {
  if (auto h = held_.find(ino); h != held_.end()) {
    h->second.lookups -= std::min(count, h->second.lookups);
    if (h->second.lookups == 0) dropHeld(h);
    return;
  }
  Node* n = peek(ino);
  if (!n || ino == kRootIno) return;
  n->lookups -= std::min(count, n->lookups);
  dropIfIdle(ino);
}

void InodeTable::dropIfIdle(Ino ino) {
  Node* n = peek(ino);
  if (!n || ino == kRootIno) return;
  if (n->lookups > 0 || n->opens > 0 || n->work || n->local || !n->localChildren.empty() ||
      n->heldChildren > 0) {
    return;
  }
  nodes_.erase(ino);  // inoById_ keeps the number for the item
  ++dropped_;
}

}  // namespace fpctl::mount
