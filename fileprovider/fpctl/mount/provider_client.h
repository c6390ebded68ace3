// The mount's view of fpctl's one extension client (Runner): the same blocking
// calls, with what they report copied into ItemState. Safe to use from several
// threads at once; no call keeps a lock while it waits. A call given `cancel`
// stops waiting once it is cancelled and fails with the POSIX error EINTR.
#ifndef FPCTL_MOUNT_PROVIDER_CLIENT_H_
#define FPCTL_MOUNT_PROVIDER_CLIENT_H_

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fileprovider/enumerator.h"
#include "fileprovider/error.h"
#include "fileprovider/extension.h"
#include "fileprovider/fpctl/mount/item_state.h"
#include "fileprovider/fpctl/requests/runner.h"

namespace fpctl::mount {

struct FetchedContents {
  std::filesystem::path path;
  std::optional<ItemState> item;  // none when the extension had no item to describe it
};

// The outcome of asking for changes since an anchor.
struct ChangeCheck {
  // kUnchanged: nothing changed. kChanged: the extension reported single changes
  // (this extension never does; they are treated like an expired anchor, with the
  // anchor given). kExpired: the anchor is no longer valid (-1002). kFailed: any
  // other error.
  enum class Kind { kUnchanged, kChanged, kExpired, kFailed };
  Kind kind = Kind::kFailed;
  fp::SyncAnchor anchor;           // kUnchanged and kChanged: the anchor to hold from now on
  std::optional<fp::Error> error;  // kFailed
};

class ProviderClient {
 public:
  explicit ProviderClient(std::shared_ptr<fp::ReplicatedExtension> extension)
      : runner_(std::move(extension)) {}

  [[nodiscard]] fp::StatusOr<ItemState> item(const fp::ItemIdentifier& identifier,
                                             const fp::Progress* cancel = nullptr) const;
  // Every child of a container, following pages until the listing is complete
  // or a page token comes back that was handed out before.
  [[nodiscard]] fp::StatusOr<std::vector<ItemState>> list(
      const fp::ItemIdentifier& container, const fp::Progress* cancel = nullptr) const;
  [[nodiscard]] fp::StatusOr<fp::SyncAnchor> currentAnchor(
      const fp::ItemIdentifier& container) const;
  [[nodiscard]] ChangeCheck changes(const fp::ItemIdentifier& container,
                                    const fp::SyncAnchor& anchor) const;
  [[nodiscard]] fp::StatusOr<FetchedContents> fetch(const fp::ItemIdentifier& identifier,
                                                    const std::optional<fp::ItemVersion>& version,
                                                    const fp::Progress* cancel = nullptr) const;
  [[nodiscard]] fp::StatusOr<ItemState> create(const fp::Item& itemTemplate,
                                               const std::optional<std::filesystem::path>& contents,
                                               const fp::Progress* cancel = nullptr) const;
  [[nodiscard]] fp::StatusOr<ItemState> modify(const fp::Item& item,
                                               const fp::ItemVersion& baseVersion,
                                               fp::ItemFields changedFields,
                                               const std::optional<std::filesystem::path>& contents,
                                               const fp::Progress* cancel = nullptr) const;
  [[nodiscard]] fp::Status remove(const fp::ItemIdentifier& identifier,
                                  const fp::ItemVersion& baseVersion, bool recursive,
                                  const fp::Progress* cancel = nullptr) const;

  // When the last creation, modification or deletion through this client
  // ended, whatever its outcome; the clock's epoch when there was none.
  [[nodiscard]] std::chrono::steady_clock::time_point lastWrite() const;

 private:
  void noteWrite() const;

  Runner runner_;
  mutable std::atomic<std::chrono::steady_clock::rep> lastWrite_{0};
};

}  // namespace fpctl::mount

#endif  // FPCTL_MOUNT_PROVIDER_CLIENT_H_
