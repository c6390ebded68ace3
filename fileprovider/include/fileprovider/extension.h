// The replicated-extension and thumbnailing protocols that an extension's principal
// object implements, and the C entry point through which the platform constructs it.
#ifndef FILEPROVIDER_EXTENSION_H_
#define FILEPROVIDER_EXTENSION_H_

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fileprovider/domain.h"
#include "fileprovider/enumerator.h"
#include "fileprovider/error.h"
#include "fileprovider/item.h"
#include "fileprovider/progress.h"

namespace fp {

// Per-request information from the platform (which requesting process, and so on).
// The platform passes one with every request; extensions may ignore it.
struct Request {};

// Option sets of the request methods, with the platform's bit values.
using CreateItemOptions = std::uint64_t;
using ModifyItemOptions = std::uint64_t;
using DeleteItemOptions = std::uint64_t;
namespace option {
inline constexpr std::uint64_t kMayAlreadyExist = 1u << 0;  // create and modify
inline constexpr DeleteItemOptions kRecursive = 1u << 0;
}  // namespace option

struct Size {
  double width = 0;
  double height = 0;
};

using ItemHandler = std::function<void(ItemPtr item, std::optional<Error> error)>;
using FetchContentsHandler = std::function<void(std::optional<std::filesystem::path> url,
                                                ItemPtr item, std::optional<Error> error)>;
// Completion of createItem and modifyItem: the item, the fields still to apply,
// whether the platform should fetch the contents again, and an error.
using ItemChangeHandler = std::function<void(ItemPtr item, ItemFields remainingFields,
                                             bool shouldFetchContent, std::optional<Error> error)>;
using ErrorHandler = std::function<void(std::optional<Error> error)>;
using PerThumbnailHandler =
    std::function<void(const ItemIdentifier& identifier, std::optional<std::string> imageData,
                       std::optional<Error> error)>;

// NSFileProviderReplicatedExtension. Every request method returns a progress
// object and calls its completion handler exactly once, on any thread.
class ReplicatedExtension {
 public:
  virtual ~ReplicatedExtension();

  virtual void invalidate() = 0;

  virtual ProgressPtr item(const ItemIdentifier& identifier, const Request& request,
                           ItemHandler completionHandler) = 0;

  // An enumerator for a container; nullptr when the extension cannot make one.
  virtual std::unique_ptr<Enumerator> enumerator(const ItemIdentifier& container,
                                                 const Request& request) = 0;

  virtual ProgressPtr fetchContents(const ItemIdentifier& identifier,
                                    const std::optional<ItemVersion>& requestedVersion,
                                    const Request& request,
                                    FetchContentsHandler completionHandler) = 0;

  // `itemTemplate` is read before the method returns.
  virtual ProgressPtr createItem(const Item& itemTemplate, ItemFields fields,
                                 const std::optional<std::filesystem::path>& contents,
                                 CreateItemOptions options, const Request& request,
                                 ItemChangeHandler completionHandler) = 0;

  // `item` carries the new values; it is read before the method returns.
  virtual ProgressPtr modifyItem(const Item& item, const ItemVersion& baseVersion,
                                 ItemFields changedFields,
                                 const std::optional<std::filesystem::path>& contents,
                                 ModifyItemOptions options, const Request& request,
                                 ItemChangeHandler completionHandler) = 0;

  virtual ProgressPtr deleteItem(const ItemIdentifier& identifier, const ItemVersion& baseVersion,
                                 DeleteItemOptions options, const Request& request,
                                 ErrorHandler completionHandler) = 0;
};

// NSFileProviderThumbnailing.
class Thumbnailing {
 public:
  virtual ~Thumbnailing();
  virtual ProgressPtr fetchThumbnails(const std::vector<ItemIdentifier>& identifiers,
                                      Size requestedSize,
                                      PerThumbnailHandler perThumbnailCompletionHandler,
                                      ErrorHandler completionHandler) = 0;
};

}  // namespace fp

// The one C function an extension's shared object exports. It constructs the
// principal object for `domain`; the caller owns the result (delete it to drop it).
// The principal object implements ReplicatedExtension and, optionally, Thumbnailing.
#define FP_EXTENSION_ENTRY_SYMBOL "fp_extension_create"
extern "C" {
using fp_extension_create_fn = fp::ReplicatedExtension* (*)(const fp::Domain* domain);
}

#endif  // FILEPROVIDER_EXTENSION_H_
