// A small in-memory extension for fpctl's tests: a tree of items, paged
// listings, an anchor, and records of every change request. Requests that the
// real extension answers in the background complete on a thread of their own,
// as they would through the platform's queues.
#ifndef FPCTL_FAKE_EXTENSION_FOR_TEST_H_
#define FPCTL_FAKE_EXTENSION_FOR_TEST_H_

#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "fileprovider/extension.h"
#include "fileprovider/fpctl/template_item.h"

namespace fpctl::testing {

inline fp::ItemPtr makeItem(std::string id, std::string parent, std::string name, bool folder,
                            std::optional<std::int64_t> size = std::nullopt,
                            std::string contentVersion = "1") {
  TemplateItem::Values v;
  v.identifier = std::move(id);
  v.parent = std::move(parent);
  v.filename = name;
  v.contentType = folder ? fp::UTType::folder() : fp::UTType::data();
  v.capabilities = 47;
  v.documentSize = size;
  if (!folder) v.contentModificationDate = 1714558920;
  v.isUploaded = true;
  v.isDownloaded = false;
  v.version = {contentVersion, contentVersion + "-" + name};
  return std::make_shared<TemplateItem>(std::move(v));
}

class FakeExtension : public fp::ReplicatedExtension, public fp::Thumbnailing {
 public:
  struct Change {
    fp::ItemIdentifier identifier;
    fp::ItemIdentifier parent;
    std::string filename;
    std::optional<fp::UTType> contentType;
    fp::ItemFields fields = 0;
    std::optional<std::filesystem::path> contents;
    fp::ItemVersion baseVersion;
  };

  FakeExtension() {
    root_ = makeItem(std::string(fp::kRootContainer), std::string(fp::kRootContainer),
                     "Pellora Connect", true, std::nullopt, "0");
  }
  ~FakeExtension() override {
    std::vector<std::thread> workers;
    {
      std::lock_guard lock(mu_);
      workers.swap(workers_);
    }
    for (auto& t : workers) t.join();
  }

  // ---- set-up ----
  void add(fp::ItemPtr item) {
    std::lock_guard lock(mu_);
    children_[item->parentItemIdentifier()].push_back(item->itemIdentifier());
    items_[item->itemIdentifier()] = std::move(item);
  }
  // Listings hand out pages of this many items (0: all at once).
  std::size_t pageSize = 0;
  fp::SyncAnchor anchor = "1.0|7";
  // Every change request fails with this error.
  std::optional<fp::Error> changeError;
  // How long background requests take before they complete.
  std::chrono::milliseconds delay{0};
  std::string fileContents = "hello";
  std::filesystem::path fetchedFile;

  // ---- what was asked ----
  std::vector<Change> created() const { return locked(created_); }
  std::vector<Change> modified() const { return locked(modified_); }
  std::vector<Change> deleted() const { return locked(deleted_); }
  int listings() const {
    std::lock_guard lock(mu_);
    return listings_;
  }

  // ---- the protocols ----
  void invalidate() override {}

  fp::ProgressPtr item(const fp::ItemIdentifier& id, const fp::Request&,
                       fp::ItemHandler handler) override {
    auto p = fp::makeProgress(1);
    if (auto i = find(id))
      handler(i, std::nullopt);
    else
      handler(nullptr, fp::Error::fileProvider(fp::FileProviderErrorCode::kNoSuchItem));
    p->setCompletedUnitCount(1);
    return p;
  }

  std::unique_ptr<fp::Enumerator> enumerator(const fp::ItemIdentifier& container,
                                             const fp::Request&) override {
    return std::make_unique<Enumerator>(*this, container);
  }

  fp::ProgressPtr fetchContents(const fp::ItemIdentifier& id, const std::optional<fp::ItemVersion>&,
                                const fp::Request&, fp::FetchContentsHandler handler) override {
    auto p = fp::makeProgress(1);
    auto item = find(id);
    background([this, p, item, handler] {
      if (!item || item->itemIdentifier().rfind("i:", 0) != 0) {
        handler(std::nullopt, nullptr,
                fp::Error::fileProvider(fp::FileProviderErrorCode::kNoSuchItem));
      } else {
        handler(fetchedFile, item, std::nullopt);
      }
      p->setCompletedUnitCount(1);
    });
    return p;
  }

  fp::ProgressPtr createItem(const fp::Item& t, fp::ItemFields fields,
                             const std::optional<std::filesystem::path>& contents,
                             fp::CreateItemOptions, const fp::Request&,
                             fp::ItemChangeHandler handler) override {
    Change c{t.itemIdentifier(), t.parentItemIdentifier(), t.filename(), t.contentType(), fields,
             contents,           t.itemVersion()};
    {
      std::lock_guard lock(mu_);
      created_.push_back(c);
    }
    return change(c, "i:new", std::move(handler));
  }

  fp::ProgressPtr modifyItem(const fp::Item& item, const fp::ItemVersion& base,
                             fp::ItemFields changed,
                             const std::optional<std::filesystem::path>& contents,
                             fp::ModifyItemOptions, const fp::Request&,
                             fp::ItemChangeHandler handler) override {
    Change c{item.itemIdentifier(),
             item.parentItemIdentifier(),
             item.filename(),
             item.contentType(),
             changed,
             contents,
             base};
    {
      std::lock_guard lock(mu_);
      modified_.push_back(c);
    }
    return change(c, item.itemIdentifier(), std::move(handler));
  }

  fp::ProgressPtr deleteItem(const fp::ItemIdentifier& id, const fp::ItemVersion& base,
                             fp::DeleteItemOptions, const fp::Request&,
                             fp::ErrorHandler handler) override {
    {
      std::lock_guard lock(mu_);
      deleted_.push_back(Change{id, {}, {}, {}, 0, {}, base});
    }
    auto p = fp::makeProgress(1);
    auto error = changeError;
    background([p, error, handler] {
      handler(error);
      p->setCompletedUnitCount(1);
    });
    return p;
  }

  fp::ProgressPtr fetchThumbnails(const std::vector<fp::ItemIdentifier>& ids, fp::Size,
                                  fp::PerThumbnailHandler perThumbnail,
                                  fp::ErrorHandler completion) override {
    auto p = fp::makeProgress(static_cast<std::int64_t>(ids.size()));
    background([this, ids, p, perThumbnail, completion] {
      for (const auto& id : ids) {
        auto item = find(id);
        if (item && item->itemIdentifier().rfind("i:", 0) == 0)
          perThumbnail(id, std::string("\x89PNG\r\n\x1a\nxx", 10), std::nullopt);
        else
          perThumbnail(id, std::nullopt, std::nullopt);
        p->addCompletedUnitCount(1);
      }
      completion(std::nullopt);
    });
    return p;
  }

 private:
  class Enumerator : public fp::Enumerator {
   public:
    Enumerator(FakeExtension& ext, fp::ItemIdentifier container)
        : ext_(ext), container_(std::move(container)) {}
    void invalidate() override {}
    void enumerateItems(std::shared_ptr<fp::EnumerationObserver> observer,
                        const fp::Page& page) override {
      std::vector<fp::ItemPtr> all = ext_.childrenOf(container_);
      std::size_t start = 0;
      if (page != fp::kInitialPageSortedByName && page != fp::kInitialPageSortedByDate)
        start = std::stoul(page);
      std::size_t end = ext_.pageSize ? std::min(all.size(), start + ext_.pageSize) : all.size();
      if (start > all.size()) start = all.size();
      observer->didEnumerateItems({all.begin() + static_cast<std::ptrdiff_t>(start),
                                   all.begin() + static_cast<std::ptrdiff_t>(end)});
      observer->finishEnumeratingUpToPage(end < all.size() ? std::optional(std::to_string(end))
                                                           : std::nullopt);
    }
    void enumerateChanges(std::shared_ptr<fp::ChangeObserver> observer,
                          const fp::SyncAnchor& from) override {
      if (from == ext_.anchor)
        observer->finishEnumeratingChangesUpToSyncAnchor(ext_.anchor, false);
      else
        observer->finishEnumeratingWithError(
            fp::Error::fileProvider(fp::FileProviderErrorCode::kSyncAnchorExpired));
    }
    void currentSyncAnchor(std::function<void(std::optional<fp::SyncAnchor>)> c) override {
      c(ext_.anchor);
    }

   private:
    FakeExtension& ext_;
    fp::ItemIdentifier container_;
  };

  template <class T>
  T locked(const T& v) const {
    std::lock_guard lock(mu_);
    return v;
  }

  fp::ItemPtr find(const fp::ItemIdentifier& id) const {
    std::lock_guard lock(mu_);
    if (id == fp::kRootContainer) return root_;
    auto it = items_.find(id);
    return it == items_.end() ? nullptr : it->second;
  }

  std::vector<fp::ItemPtr> childrenOf(const fp::ItemIdentifier& container) {
    std::lock_guard lock(mu_);
    ++listings_;
    std::vector<fp::ItemPtr> out;
    auto it = children_.find(container);
    if (it == children_.end()) return out;
    for (const auto& id : it->second) out.push_back(items_[id]);
    return out;
  }

  fp::ProgressPtr change(const Change& c, const fp::ItemIdentifier& resultId,
                         fp::ItemChangeHandler handler) {
    auto p = fp::makeProgress(1);
    auto error = changeError;
    bool folder = c.contentType && *c.contentType == fp::UTType::folder();
    fp::ItemPtr result = makeItem(resultId, c.parent, c.filename, folder, std::nullopt, "2");
    background([p, error, result, handler] {
      if (error)
        handler(nullptr, 0, false, error);
      else
        handler(result, 0, false, std::nullopt);
      p->setCompletedUnitCount(1);
    });
    return p;
  }

  void background(std::function<void()> work) {
    auto delay = this->delay;
    std::lock_guard lock(mu_);
    workers_.emplace_back([work = std::move(work), delay] {
      std::this_thread::sleep_for(delay);
      work();
    });
  }

  mutable std::mutex mu_;
  fp::ItemPtr root_;
  std::map<fp::ItemIdentifier, fp::ItemPtr> items_;
  std::map<fp::ItemIdentifier, std::vector<fp::ItemIdentifier>> children_;
  std::vector<Change> created_, modified_, deleted_;
  int listings_ = 0;
  std::vector<std::thread> workers_;
};

}  // namespace fpctl::testing

#endif  // FPCTL_FAKE_EXTENSION_FOR_TEST_H_
