#include "extension/model/pellora_item.h"

#include <string_view>
#include <utility>

#include "extension/model/item_id.h"

namespace pellora {
namespace {

constexpr std::string_view kRootFilename = "Pellora Connect";

constexpr fp::ItemCapabilities kRootCapabilities =
    fp::capability::kAllowsReading | fp::capability::kAllowsWriting;  // 3
// Reading, writing, reparenting, renaming and deleting; never trashing.
constexpr fp::ItemCapabilities kItemCapabilities =
    fp::capability::kAllowsReading | fp::capability::kAllowsWriting |
    fp::capability::kAllowsReparenting | fp::capability::kAllowsRenaming |
    fp::capability::kAllowsDeleting;                                                      // 47
constexpr fp::ItemCapabilities kLockedFileCapabilities = fp::capability::kAllowsReading;  // 1

// The path extension by the rule for path strings: the text after the last "."
// of the last path component (trailing slashes ignored), empty without a dot.
std::string_view pathExtension(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (std::size_t slash = path.rfind('/'); slash != std::string_view::npos) {
    path.remove_prefix(slash + 1);
  }
  std::size_t dot = path.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
}

}  // namespace

std::shared_ptr<PelloraItem> PelloraItem::root() {
  return std::make_shared<PelloraItem>(std::nullopt, fp::ItemIdentifier(fp::kRootContainer));
}

PelloraItem::PelloraItem(IndexEntry entry)
    : entry_(std::move(entry)),
      id_(entry_->isFolder() ? ItemID::folder(entry_->ulid()) : ItemID::file(entry_->ulid())) {}

PelloraItem::PelloraItem(std::optional<IndexEntry> entry, fp::ItemIdentifier id)
    : entry_(std::move(entry)), id_(std::move(id)) {}

fp::ItemIdentifier PelloraItem::itemIdentifier() const { return id_; }

fp::ItemIdentifier PelloraItem::parentItemIdentifier() const {
  if (entry_ && entry_->parentUlid()) return ItemID::folder(*entry_->parentUlid());
  return fp::ItemIdentifier(fp::kRootContainer);
}

std::string PelloraItem::filename() const {
  return entry_ ? entry_->displayName() : std::string(kRootFilename);
}

std::optional<fp::UTType> PelloraItem::contentType() const {
  if (!entry_ || entry_->isFolder()) return fp::UTType::folder();
  std::optional<fp::UTType> type =
      fp::UTType::forFilenameExtension(pathExtension(entry_->displayName()), fp::UTType::data());
  return type ? std::move(*type) : fp::UTType::data();
}

fp::ItemCapabilities PelloraItem::capabilities() const {
  if (!entry_) return kRootCapabilities;
  if (!entry_->isFolder() && entry_->lockedByUserId()) return kLockedFileCapabilities;
  return kItemCapabilities;
}

std::optional<std::int64_t> PelloraItem::documentSize() const {
  if (!entry_ || entry_->isFolder()) return std::nullopt;
  return entry_->size();
}

std::optional<fp::Date> PelloraItem::contentModificationDate() const {
  if (!entry_ || entry_->isFolder()) return std::nullopt;
  return entry_->modified().time_since_epoch().count();
}

bool PelloraItem::isUploaded() const { return true; }

bool PelloraItem::isDownloaded() const { return false; }

fp::ItemVersion PelloraItem::itemVersion() const {
  std::string content = std::to_string(entry_ ? entry_->versionNumber() : 0);
  std::string metadata = content + "-";
  if (entry_) metadata += entry_->displayName();
  return fp::ItemVersion{std::move(content), std::move(metadata)};
}

}  // namespace pellora
