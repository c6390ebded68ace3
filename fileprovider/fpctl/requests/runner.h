// Runner: makes requests of an extension and waits for their outcome, as the
// platform does. Each call issues one request, blocks until the extension has
// called its completion handler (however long that takes: a request that never
// completes is the extension's fault, and fpctl has no time-out of its own) and
// returns what the handler received. Handlers may be called on any thread; a
// second call of a handler is ignored.
//
// Cancellation: the calls that take `cancel` stop waiting once it is cancelled,
// cancel the extension's own progress of the request and fail with the POSIX
// error EINTR (a late answer of the extension is then ignored). A missing item
// is always the file provider error "no such item" (-1005).
#ifndef FPCTL_REQUESTS_RUNNER_H_
#define FPCTL_REQUESTS_RUNNER_H_

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fileprovider/enumerator.h"
#include "fileprovider/error.h"
#include "fileprovider/extension.h"
#include "fileprovider/item.h"
#include "fileprovider/progress.h"

namespace fpctl {

struct ListedPage {
  std::vector<fp::ItemPtr> items;
  std::optional<fp::Page> nextPage;  // none: the listing is complete
};

struct Changes {
  fp::SyncAnchor anchor;
  bool moreComing = false;
  std::vector<fp::ItemPtr> updated;
  std::vector<fp::ItemIdentifier> deleted;
};

struct Fetched {
  std::filesystem::path path;
  fp::ItemPtr item;  // may be none
};

struct Thumbnail {
  fp::ItemIdentifier identifier;
  std::optional<std::string> data;
  std::optional<fp::Error> error;
};

struct Thumbnails {
  std::vector<Thumbnail> thumbnails;  // in the order the extension answered
  std::optional<fp::Error> error;     // the final handler's error
  std::int64_t total = 0;             // the request's progress when it finished
  std::int64_t completed = 0;
};

struct ItemChange {
  fp::ItemPtr item;
  fp::ItemFields remainingFields = 0;
  bool shouldFetchContent = false;
};

// Called about every `tickInterval` while a request that reports progress runs.
using ProgressTick = std::function<void(const fp::Progress& progress, double elapsedSeconds)>;

class Runner {
 public:
  explicit Runner(std::shared_ptr<fp::ReplicatedExtension> extension);

  fp::ReplicatedExtension& extension() const { return *extension_; }

  fp::StatusOr<fp::ItemPtr> item(const fp::ItemIdentifier& identifier,
                                 const fp::Progress* cancel = nullptr) const;

  // One page of a container's listing.
  fp::StatusOr<ListedPage> listPage(
      const fp::ItemIdentifier& container,
      const fp::Page& startingAt = fp::kInitialPageSortedByName) const;
  // Every page of a container's listing, one enumerator, pages in turn. A page
  // token the extension has already handed out ends the listing (an extension
  // that repeats itself would otherwise be listed for ever).
  fp::StatusOr<std::vector<fp::ItemPtr>> listAll(const fp::ItemIdentifier& container,
                                                 const fp::Progress* cancel = nullptr) const;

  // The container's current sync anchor; none when the extension has none.
  fp::StatusOr<std::optional<fp::SyncAnchor>> currentAnchor(
      const fp::ItemIdentifier& container) const;
  fp::StatusOr<Changes> changes(const fp::ItemIdentifier& container,
                                const fp::SyncAnchor& anchor) const;

  fp::StatusOr<Fetched> fetchContents(
      const fp::ItemIdentifier& identifier, const ProgressTick& tick = {},
      std::chrono::milliseconds tickInterval = std::chrono::milliseconds(100)) const;
  // The contents of `identifier` at `version` (none: the current one).
  fp::StatusOr<Fetched> fetchVersion(const fp::ItemIdentifier& identifier,
                                     const std::optional<fp::ItemVersion>& version,
                                     const fp::Progress* cancel = nullptr) const;

  // Fails with a Cocoa "feature unsupported" error (kFeatureUnsupportedError) when the extension
  // does not implement thumbnails.
  fp::StatusOr<Thumbnails> fetchThumbnails(const std::vector<fp::ItemIdentifier>& identifiers,
                                           fp::Size size = {256, 256}) const;

  fp::StatusOr<ItemChange> createItem(const fp::Item& itemTemplate, fp::ItemFields fields,
                                      const std::optional<std::filesystem::path>& contents,
                                      const fp::Progress* cancel = nullptr) const;
  fp::StatusOr<ItemChange> modifyItem(const fp::Item& item, const fp::ItemVersion& baseVersion,
                                      fp::ItemFields changedFields,
                                      const std::optional<std::filesystem::path>& contents,
                                      const fp::Progress* cancel = nullptr) const;
  fp::Status deleteItem(const fp::ItemIdentifier& identifier, const fp::ItemVersion& baseVersion,
                        fp::DeleteItemOptions options = 0,
                        const fp::Progress* cancel = nullptr) const;

 private:
  fp::StatusOr<std::unique_ptr<fp::Enumerator>> enumerator(
      const fp::ItemIdentifier& container) const;

  std::shared_ptr<fp::ReplicatedExtension> extension_;
};

}  // namespace fpctl

#endif  // FPCTL_REQUESTS_RUNNER_H_
