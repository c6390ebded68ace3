#include "fileprovider/fpctl/mount/provider_client.h"

#include "fileprovider/fpctl/completion.h"

#include <atomic>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <tuple>

namespace fpctl::mount {
namespace {

using fpctl::Completion;

fp::Error noEnumerator(const fp::ItemIdentifier& container) {
  return fp::Error::cocoa(fp::kFileReadUnknownError, "no enumerator for " + container);
}

struct PageResult {
  std::vector<ItemState> items;
  std::optional<fp::Page> nextPage;
  std::optional<fp::Error> error;
};

class ListingObserver final : public fp::EnumerationObserver {
 public:
  void didEnumerateItems(std::vector<fp::ItemPtr> items) override {
    std::lock_guard lock(mu_);
    for (const auto& item : items) {
      if (item) items_.push_back(ItemState::from(*item));
    }
  }
  void finishEnumeratingUpToPage(std::optional<fp::Page> nextPage) override {
    done_.set(PageResult{takeItems(), std::move(nextPage), std::nullopt});
  }
  void finishEnumeratingWithError(fp::Error error) override {
    done_.set(PageResult{{}, std::nullopt, std::move(error)});
  }
  PageResult wait() { return done_.wait(); }

 private:
  std::vector<ItemState> takeItems() {
    std::lock_guard lock(mu_);
    return std::move(items_);
  }
  std::mutex mu_;
  std::vector<ItemState> items_;
  Completion<PageResult> done_;
};

class ChangesObserver final : public fp::ChangeObserver {
 public:
  void didUpdateItems(std::vector<fp::ItemPtr> items) override {
    if (!items.empty()) reported_.store(true);
  }
  void didDeleteItemsWithIdentifiers(std::vector<fp::ItemIdentifier> identifiers) override {
    if (!identifiers.empty()) reported_.store(true);
  }
  void finishEnumeratingChangesUpToSyncAnchor(fp::SyncAnchor anchor, bool) override {
    ChangeCheck c;
    c.kind = reported_.load() ? ChangeCheck::Kind::kChanged : ChangeCheck::Kind::kUnchanged;
    c.anchor = std::move(anchor);
    done_.set(std::move(c));
  }
  void finishEnumeratingWithError(fp::Error error) override {
    ChangeCheck c;
    if (error.isFileProvider(fp::FileProviderErrorCode::kSyncAnchorExpired)) {
      c.kind = ChangeCheck::Kind::kExpired;
    } else {
      c.kind = ChangeCheck::Kind::kFailed;
      c.error = std::move(error);
    }
    done_.set(std::move(c));
  }
  ChangeCheck wait() { return done_.wait(); }

 private:
  std::atomic<bool> reported_{false};
  Completion<ChangeCheck> done_;
};

using ItemOutcome = std::pair<fp::ItemPtr, std::optional<fp::Error>>;

fp::StatusOr<ItemState> itemResult(ItemOutcome outcome, std::string_view what) {
  if (outcome.second) return fp::fail(std::move(*outcome.second));
  if (!outcome.first) {
    return fp::fail(fp::Error::cocoa(fp::kFileReadUnknownError,
                                     std::string(what) + " completed without an item"));
  }
  return ItemState::from(*outcome.first);
}

}  // namespace

fp::StatusOr<ItemState> ProviderClient::item(const fp::ItemIdentifier& identifier) const {
  auto done = std::make_shared<Completion<ItemOutcome>>();
  extension_->item(identifier, fp::Request{}, [done](fp::ItemPtr item, std::optional<fp::Error> e) {
    done->set({std::move(item), std::move(e)});
  });
  return itemResult(done->wait(), "item lookup");
}

fp::StatusOr<std::vector<ItemState>> ProviderClient::list(
    const fp::ItemIdentifier& container) const {
  auto enumerator = extension_->enumerator(container, fp::Request{});
  if (!enumerator) return fp::fail(noEnumerator(container));
  std::vector<ItemState> all;
  fp::Page page = fp::kInitialPageSortedByName;
  // A listing that keeps handing out pages forever is cut off rather than
  // followed without end.
  for (int pages = 0; pages < 100000; ++pages) {
    auto observer = std::make_shared<ListingObserver>();
    enumerator->enumerateItems(observer, page);
    PageResult r = observer->wait();
    if (r.error) {
      enumerator->invalidate();
      return fp::fail(std::move(*r.error));
    }
    std::move(r.items.begin(), r.items.end(), std::back_inserter(all));
    if (!r.nextPage || *r.nextPage == page) break;
    page = std::move(*r.nextPage);
  }
  enumerator->invalidate();
  return all;
}

fp::StatusOr<fp::SyncAnchor> ProviderClient::currentAnchor(
    const fp::ItemIdentifier& container) const {
  auto enumerator = extension_->enumerator(container, fp::Request{});
  if (!enumerator) return fp::fail(noEnumerator(container));
  auto done = std::make_shared<Completion<std::optional<fp::SyncAnchor>>>();
  enumerator->currentSyncAnchor(
      [done](std::optional<fp::SyncAnchor> anchor) { done->set(std::move(anchor)); });
  auto anchor = done->wait();
  enumerator->invalidate();
  // No anchor: every check will report a change, which only costs re-listing.
  return anchor.value_or(fp::SyncAnchor{});
}

ChangeCheck ProviderClient::changes(const fp::ItemIdentifier& container,
                                    const fp::SyncAnchor& anchor) const {
  auto enumerator = extension_->enumerator(container, fp::Request{});
  if (!enumerator) {
    ChangeCheck c;
    c.error = noEnumerator(container);
    return c;
  }
  auto observer = std::make_shared<ChangesObserver>();
  enumerator->enumerateChanges(observer, anchor);
  ChangeCheck c = observer->wait();
  enumerator->invalidate();
  return c;
}

fp::StatusOr<FetchedContents> ProviderClient::fetch(
    const fp::ItemIdentifier& identifier, const std::optional<fp::ItemVersion>& version) const {
  using Outcome =
      std::tuple<std::optional<std::filesystem::path>, fp::ItemPtr, std::optional<fp::Error>>;
  auto done = std::make_shared<Completion<Outcome>>();
  extension_->fetchContents(identifier, version, fp::Request{},
                            [done](std::optional<std::filesystem::path> url, fp::ItemPtr item,
                                   std::optional<fp::Error> e) {
                              done->set({std::move(url), std::move(item), std::move(e)});
                            });
  auto [url, item, error] = done->wait();
  if (error) return fp::fail(std::move(*error));
  if (!url) {
    return fp::fail(fp::Error::cocoa(fp::kFileReadUnknownError, "contents fetched without a file"));
  }
  FetchedContents out{std::move(*url), std::nullopt};
  if (item) out.item = ItemState::from(*item);
  return out;
}

fp::StatusOr<ItemState> ProviderClient::create(
    const fp::Item& itemTemplate, const std::optional<std::filesystem::path>& contents) const {
  auto done = std::make_shared<Completion<ItemOutcome>>();
  fp::ItemFields fields = fp::field::kFilename | fp::field::kParentItemIdentifier;
  if (contents) fields |= fp::field::kContents;
  extension_->createItem(
      itemTemplate, fields, contents, 0, fp::Request{},
      [done](fp::ItemPtr item, fp::ItemFields, bool, std::optional<fp::Error> e) {
        done->set({std::move(item), std::move(e)});
      });
  return itemResult(done->wait(), "creation");
}

fp::StatusOr<ItemState> ProviderClient::modify(
    const fp::Item& item, const fp::ItemVersion& baseVersion, fp::ItemFields changedFields,
    const std::optional<std::filesystem::path>& contents) const {
  auto done = std::make_shared<Completion<ItemOutcome>>();
  extension_->modifyItem(
      item, baseVersion, changedFields, contents, 0, fp::Request{},
      [done](fp::ItemPtr result, fp::ItemFields, bool, std::optional<fp::Error> e) {
        done->set({std::move(result), std::move(e)});
      });
  return itemResult(done->wait(), "modification");
}

fp::Status ProviderClient::remove(const fp::ItemIdentifier& identifier,
                                  const fp::ItemVersion& baseVersion, bool recursive) const {
  auto done = std::make_shared<Completion<std::optional<fp::Error>>>();
  extension_->deleteItem(identifier, baseVersion, recursive ? fp::option::kRecursive : 0,
                         fp::Request{},
                         [done](std::optional<fp::Error> e) { done->set(std::move(e)); });
  if (auto e = done->wait()) return fp::fail(std::move(*e));
  return fp::Ok{};
}

}  // namespace fpctl::mount
