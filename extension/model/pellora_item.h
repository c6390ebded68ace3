// PelloraItem: the item the extension hands to the platform, built from an
// optional index entry and an identifier.
#ifndef PELLORA_MODEL_PELLORA_ITEM_H_
#define PELLORA_MODEL_PELLORA_ITEM_H_

#include <memory>
#include <optional>

#include "extension/model/index_entry.h"
#include "fileprovider/item.h"

namespace pellora {

class PelloraItem final : public fp::Item {
 public:
  // The root item: no entry, the root container identifier.
  static std::shared_ptr<PelloraItem> root();
  // Identifier derived from the entry: ItemID::folder or ItemID::file of its ulid.
  explicit PelloraItem(IndexEntry entry);
  // Both stored unchanged, with no check that they agree.
  PelloraItem(std::optional<IndexEntry> entry, fp::ItemIdentifier id);

  const std::optional<IndexEntry>& entry() const { return entry_; }

  fp::ItemIdentifier itemIdentifier() const override;
  fp::ItemIdentifier parentItemIdentifier() const override;
  std::string filename() const override;
  std::optional<fp::UTType> contentType() const override;
  fp::ItemCapabilities capabilities() const override;
  std::optional<std::int64_t> documentSize() const override;
  std::optional<fp::Date> contentModificationDate() const override;
  bool isUploaded() const override;
  bool isDownloaded() const override;
  fp::ItemVersion itemVersion() const override;

 private:
  std::optional<IndexEntry> entry_;
  fp::ItemIdentifier id_;
};

}  // namespace pellora

#endif  // PELLORA_MODEL_PELLORA_ITEM_H_
