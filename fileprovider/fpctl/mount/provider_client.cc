#include "fileprovider/fpctl/mount/provider_client.h"

namespace fpctl::mount {
namespace {

fp::StatusOr<ItemState> itemResult(fp::StatusOr<ItemChange> change, std::string_view what) {
  if (!change) return fp::propagate(change);
  if (!change->item) {
    return fp::fail(fp::Error::cocoa(fp::kFileReadUnknownError,
                                     std::string(what) + " completed without an item"));
  }
  return ItemState::from(*change->item);
}

}  // namespace

fp::StatusOr<ItemState> ProviderClient::item(const fp::ItemIdentifier& identifier,
                                             const fp::Progress* cancel) const {
  auto item = runner_.item(identifier, cancel);
  if (!item) return fp::propagate(item);
  return ItemState::from(**item);
}

fp::StatusOr<std::vector<ItemState>> ProviderClient::list(const fp::ItemIdentifier& container,
                                                          const fp::Progress* cancel) const {
  auto items = runner_.listAll(container, cancel);
  if (!items) return fp::propagate(items);
  std::vector<ItemState> all;
  all.reserve(items->size());
  for (const auto& item : *items) {
    if (item) all.push_back(ItemState::from(*item));
  }
  return all;
}

fp::StatusOr<fp::SyncAnchor> ProviderClient::currentAnchor(
    const fp::ItemIdentifier& container) const {
  auto anchor = runner_.currentAnchor(container);
  if (!anchor) return fp::propagate(anchor);
  // No anchor: every check will report a change, which only costs re-listing.
  return anchor->value_or(fp::SyncAnchor{});
}

ChangeCheck ProviderClient::changes(const fp::ItemIdentifier& container,
                                    const fp::SyncAnchor& anchor) const {
  ChangeCheck c;
  auto changes = runner_.changes(container, anchor);
  if (!changes) {
    if (changes.error().isFileProvider(fp::FileProviderErrorCode::kSyncAnchorExpired)) {
      c.kind = ChangeCheck::Kind::kExpired;
    } else {
      c.kind = ChangeCheck::Kind::kFailed;
      c.error = changes.error();
    }
    return c;
  }
  bool reported = !changes->updated.empty() || !changes->deleted.empty();
  c.kind = reported ? ChangeCheck::Kind::kChanged : ChangeCheck::Kind::kUnchanged;
  c.anchor = std::move(changes->anchor);
  return c;
}

fp::StatusOr<FetchedContents> ProviderClient::fetch(const fp::ItemIdentifier& identifier,
                                                    const std::optional<fp::ItemVersion>& version,
                                                    const fp::Progress* cancel) const {
  auto fetched = runner_.fetchVersion(identifier, version, cancel);
  if (!fetched) return fp::propagate(fetched);
  FetchedContents out{std::move(fetched->path), std::nullopt};
  if (fetched->item) out.item = ItemState::from(*fetched->item);
  return out;
}

fp::StatusOr<ItemState> ProviderClient::create(const fp::Item& itemTemplate,
                                               const std::optional<std::filesystem::path>& contents,
                                               const fp::Progress* cancel) const {
  fp::ItemFields fields = fp::field::kFilename | fp::field::kParentItemIdentifier;
  if (contents) fields |= fp::field::kContents;
  auto result = itemResult(runner_.createItem(itemTemplate, fields, contents, cancel), "creation");
  noteWrite();
  return result;
}

fp::StatusOr<ItemState> ProviderClient::modify(const fp::Item& item,
                                               const fp::ItemVersion& baseVersion,
                                               fp::ItemFields changedFields,
                                               const std::optional<std::filesystem::path>& contents,
                                               const fp::Progress* cancel) const {
  auto result = itemResult(runner_.modifyItem(item, baseVersion, changedFields, contents, cancel),
                           "modification");
  noteWrite();
  return result;
}

fp::Status ProviderClient::remove(const fp::ItemIdentifier& identifier,
                                  const fp::ItemVersion& baseVersion, bool recursive,
                                  const fp::Progress* cancel) const {
  auto result =
      runner_.deleteItem(identifier, baseVersion, recursive ? fp::option::kRecursive : 0, cancel);
  noteWrite();
  return result;
}

std::chrono::steady_clock::time_point ProviderClient::lastWrite() const {
  return std::chrono::steady_clock::time_point(
      std::chrono::steady_clock::duration(lastWrite_.load()));
}

void ProviderClient::noteWrite() const {
  lastWrite_.store(std::chrono::steady_clock::now().time_since_epoch().count());
}

}  // namespace fpctl::mount
