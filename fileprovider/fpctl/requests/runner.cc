#include "fileprovider/fpctl/requests/runner.h"

#include "fileprovider/dispatch.h"
#include "fileprovider/fpctl/requests/completion.h"

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <set>

namespace fpctl {

namespace {

using Clock = std::chrono::steady_clock;

fp::Error noSuchItem(std::string message) {
  fp::Error e = fp::Error::fileProvider(fp::FileProviderErrorCode::kNoSuchItem);
  e.message = std::move(message);
  return e;
}

fp::Error interrupted() { return fp::Error::posix(EINTR, "the request was interrupted"); }

// Waits for `done` unless `cancel` is cancelled first; then cancels the
// extension's progress of the request too.
template <class T>
fp::StatusOr<T> awaitResult(Completion<fp::StatusOr<T>>& done, const fp::Progress* cancel,
                            const fp::ProgressPtr& request) {
  auto result = done.waitUnless(cancel);
  if (result) return std::move(*result);
  if (request) request->cancel();
  return fp::fail(interrupted());
}

class PageObserver : public fp::EnumerationObserver {
 public:
  void didEnumerateItems(std::vector<fp::ItemPtr> items) override {
    std::lock_guard lock(mu_);
    for (auto& i : items) items_.push_back(std::move(i));
  }
  void finishEnumeratingUpToPage(std::optional<fp::Page> nextPage) override {
    ListedPage page;
    {
      std::lock_guard lock(mu_);
      page.items = std::move(items_);
      items_.clear();
    }
    page.nextPage = std::move(nextPage);
    done_.set(std::move(page));
  }
  void finishEnumeratingWithError(fp::Error error) override {
    done_.set(fp::fail(std::move(error)));
  }

  fp::StatusOr<ListedPage> wait(const fp::Progress* cancel = nullptr) {
    return awaitResult(done_, cancel, nullptr);
  }

 private:
  std::mutex mu_;
  std::vector<fp::ItemPtr> items_;
  Completion<fp::StatusOr<ListedPage>> done_;
};

class ChangesObserver : public fp::ChangeObserver {
 public:
  void didUpdateItems(std::vector<fp::ItemPtr> items) override {
    std::lock_guard lock(mu_);
    for (auto& i : items) changes_.updated.push_back(std::move(i));
  }
  void didDeleteItemsWithIdentifiers(std::vector<fp::ItemIdentifier> identifiers) override {
    std::lock_guard lock(mu_);
    for (auto& i : identifiers) changes_.deleted.push_back(std::move(i));
  }
  void finishEnumeratingChangesUpToSyncAnchor(fp::SyncAnchor anchor, bool moreComing) override {
    Changes c;
    {
      std::lock_guard lock(mu_);
      c = std::move(changes_);
      changes_ = {};
    }
    c.anchor = std::move(anchor);
    c.moreComing = moreComing;
    done_.set(std::move(c));
  }
  void finishEnumeratingWithError(fp::Error error) override {
    done_.set(fp::fail(std::move(error)));
  }

  fp::StatusOr<Changes> wait() { return done_.wait(); }

 private:
  std::mutex mu_;
  Changes changes_;
  Completion<fp::StatusOr<Changes>> done_;
};

// How many batches of changes one `changes` call follows while the extension
// says more are coming.
constexpr int kMaxChangeBatches = 10000;

}  // namespace

Runner::Runner(std::shared_ptr<fp::ReplicatedExtension> extension)
    : extension_(std::move(extension)) {}

fp::StatusOr<fp::ItemPtr> Runner::item(const fp::ItemIdentifier& identifier,
                                       const fp::Progress* cancel) const {
  auto done = makeCompletion<fp::StatusOr<fp::ItemPtr>>();
  auto progress = extension_->item(identifier, fp::Request{},
                                   [done](fp::ItemPtr item, std::optional<fp::Error> error) {
                                     if (error)
                                       done->set(fp::fail(std::move(*error)));
                                     else
                                       done->set(std::move(item));
                                   });
  auto result = awaitResult(*done, cancel, progress);
  if (result && !*result) return fp::fail(noSuchItem("the extension returned no item"));
  return result;
}

fp::StatusOr<std::unique_ptr<fp::Enumerator>> Runner::enumerator(
    const fp::ItemIdentifier& container) const {
  auto e = extension_->enumerator(container, fp::Request{});
  if (!e) return fp::fail(noSuchItem("the extension has no enumerator for " + container));
  return e;
}

fp::StatusOr<ListedPage> Runner::listPage(const fp::ItemIdentifier& container,
                                          const fp::Page& startingAt) const {
  auto e = enumerator(container);
  if (!e) return fp::propagate(e);
  auto observer = std::make_shared<PageObserver>();
  (*e)->enumerateItems(observer, startingAt);
  auto page = observer->wait();
  (*e)->invalidate();
  return page;
}

fp::StatusOr<std::vector<fp::ItemPtr>> Runner::listAll(const fp::ItemIdentifier& container,
                                                       const fp::Progress* cancel) const {
  auto e = enumerator(container);
  if (!e) return fp::propagate(e);
  std::vector<fp::ItemPtr> all;
  std::set<fp::Page> seen;
  fp::Page page = fp::kInitialPageSortedByName;
  for (;;) {
    seen.insert(page);
    auto observer = std::make_shared<PageObserver>();
    (*e)->enumerateItems(observer, page);
    auto listed = observer->wait(cancel);
    if (!listed) {
      (*e)->invalidate();
      return fp::propagate(listed);
    }
    for (auto& i : listed->items) all.push_back(std::move(i));
    if (!listed->nextPage || seen.count(*listed->nextPage)) break;
    page = *listed->nextPage;
  }
  (*e)->invalidate();
  return all;
}

fp::StatusOr<std::optional<fp::SyncAnchor>> Runner::currentAnchor(
    const fp::ItemIdentifier& container) const {
  auto e = enumerator(container);
  if (!e) return fp::propagate(e);
  auto done = makeCompletion<std::optional<fp::SyncAnchor>>();
  (*e)->currentSyncAnchor([done](std::optional<fp::SyncAnchor> a) { done->set(std::move(a)); });
  auto anchor = done->wait();
  (*e)->invalidate();
  return anchor;
}

fp::StatusOr<Changes> Runner::changes(const fp::ItemIdentifier& container,
                                      const fp::SyncAnchor& anchor) const {
  auto e = enumerator(container);
  if (!e) return fp::propagate(e);
  Changes all;
  all.anchor = anchor;
  // Like the platform, ask again from the new anchor while more are coming.
  for (int batch = 0; batch < kMaxChangeBatches; ++batch) {
    auto observer = std::make_shared<ChangesObserver>();
    (*e)->enumerateChanges(observer, all.anchor);
    auto c = observer->wait();
    if (!c) {
      (*e)->invalidate();
      return fp::propagate(c);
    }
    for (auto& i : c->updated) all.updated.push_back(std::move(i));
    for (auto& i : c->deleted) all.deleted.push_back(std::move(i));
    all.moreComing = c->moreComing;
    bool sameAnchor = c->anchor == all.anchor;
    all.anchor = std::move(c->anchor);
    if (!all.moreComing || sameAnchor) break;
  }
  (*e)->invalidate();
  return all;
}

namespace {

// The completion of a fetch: the file the extension returned, or its failure.
auto fetchHandler(std::shared_ptr<Completion<fp::StatusOr<Fetched>>> done) {
  return [done = std::move(done)](std::optional<std::filesystem::path> url, fp::ItemPtr item,
                                  std::optional<fp::Error> error) {
    if (error) {
      done->set(fp::fail(std::move(*error)));
    } else if (!url) {
      done->set(
          fp::fail(fp::Error::cocoa(fp::kFileReadUnknownError, "the extension returned no file")));
    } else {
      done->set(Fetched{std::move(*url), std::move(item)});
    }
  };
}

}  // namespace

fp::StatusOr<Fetched> Runner::fetchContents(const fp::ItemIdentifier& identifier,
                                            const ProgressTick& tick,
                                            std::chrono::milliseconds tickInterval) const {
  auto done = makeCompletion<fp::StatusOr<Fetched>>();
  auto start = Clock::now();
  fp::ProgressPtr progress =
      extension_->fetchContents(identifier, std::nullopt, fp::Request{}, fetchHandler(done));
  if (!tick || !progress) return done->wait();
  return done->wait(
      [&] { tick(*progress, std::chrono::duration<double>(Clock::now() - start).count()); },
      tickInterval);
}

fp::StatusOr<Fetched> Runner::fetchVersion(const fp::ItemIdentifier& identifier,
                                           const std::optional<fp::ItemVersion>& version,
                                           const fp::Progress* cancel) const {
  auto done = makeCompletion<fp::StatusOr<Fetched>>();
  fp::ProgressPtr progress =
      extension_->fetchContents(identifier, version, fp::Request{}, fetchHandler(done));
  return awaitResult(*done, cancel, progress);
}

fp::StatusOr<Thumbnails> Runner::fetchThumbnails(const std::vector<fp::ItemIdentifier>& identifiers,
                                                 fp::Size size) const {
  auto* thumbnailing = dynamic_cast<fp::Thumbnailing*>(extension_.get());
  if (!thumbnailing)
    return fp::fail(fp::Error::cocoa(fp::kFeatureUnsupportedError,
                                     "the extension does not provide thumbnails"));

  struct State {
    std::mutex mu;
    std::vector<Thumbnail> thumbnails;
  };
  auto state = std::make_shared<State>();
  auto done = makeCompletion<std::optional<fp::Error>>();
  fp::ProgressPtr progress = thumbnailing->fetchThumbnails(
      identifiers, size,
      [state](const fp::ItemIdentifier& id, std::optional<std::string> data,
              std::optional<fp::Error> error) {
        std::lock_guard lock(state->mu);
        state->thumbnails.push_back(Thumbnail{id, std::move(data), std::move(error)});
      },
      [done](std::optional<fp::Error> error) { done->set(std::move(error)); });
  Thumbnails result;
  result.error = done->wait();
  {
    std::lock_guard lock(state->mu);
    result.thumbnails = std::move(state->thumbnails);
  }
  if (progress) {
    result.total = progress->totalUnitCount();
    result.completed = progress->completedUnitCount();
  }
  return result;
}

namespace {

fp::ItemChangeHandler changeHandler(std::shared_ptr<Completion<fp::StatusOr<ItemChange>>> done) {
  return [done](fp::ItemPtr item, fp::ItemFields remaining, bool shouldFetch,
                std::optional<fp::Error> error) {
    if (error)
      done->set(fp::fail(std::move(*error)));
    else
      done->set(ItemChange{std::move(item), remaining, shouldFetch});
  };
}

}  // namespace

fp::StatusOr<ItemChange> Runner::createItem(const fp::Item& itemTemplate, fp::ItemFields fields,
                                            const std::optional<std::filesystem::path>& contents,
                                            const fp::Progress* cancel) const {
  auto done = makeCompletion<fp::StatusOr<ItemChange>>();
  // A caller that cannot be interrupted only waits for what the extension
  // queues: that work runs on this thread once the extension's method has
  // returned, sparing two hand-offs between threads. One that can be
  // interrupted leaves it to the queue, so that it can stop waiting.
  std::optional<fp::RunSubmittedWorkHere> here;
  if (!cancel) here.emplace();
  auto progress =
      extension_->createItem(itemTemplate, fields, contents, 0, fp::Request{}, changeHandler(done));
  if (here) here->run();
  return awaitResult(*done, cancel, progress);
}

fp::StatusOr<ItemChange> Runner::modifyItem(const fp::Item& item,
                                            const fp::ItemVersion& baseVersion,
                                            fp::ItemFields changedFields,
                                            const std::optional<std::filesystem::path>& contents,
                                            const fp::Progress* cancel) const {
  auto done = makeCompletion<fp::StatusOr<ItemChange>>();
  std::optional<fp::RunSubmittedWorkHere> here;  // as in createItem
  if (!cancel) here.emplace();
  auto progress = extension_->modifyItem(item, baseVersion, changedFields, contents, 0,
                                         fp::Request{}, changeHandler(done));
  if (here) here->run();
  return awaitResult(*done, cancel, progress);
}

fp::Status Runner::deleteItem(const fp::ItemIdentifier& identifier,
                              const fp::ItemVersion& baseVersion, fp::DeleteItemOptions options,
                              const fp::Progress* cancel) const {
  auto done = makeCompletion<std::optional<fp::Error>>();
  auto progress = extension_->deleteItem(
      identifier, baseVersion, options, fp::Request{},
      [done](std::optional<fp::Error> error) { done->set(std::move(error)); });
  auto error = done->waitUnless(cancel);
  if (!error) {
    if (progress) progress->cancel();
    return fp::fail(interrupted());
  }
  if (*error) return fp::fail(std::move(**error));
  return {};
}

}  // namespace fpctl
