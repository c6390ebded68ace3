// Item identifiers, capability and field bit sets, versions, and the item protocol.
#ifndef FILEPROVIDER_ITEM_H_
#define FILEPROVIDER_ITEM_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fileprovider/uttype.h"

namespace fp {

using ItemIdentifier = std::string;

inline constexpr std::string_view kRootContainer = "NSFileProviderRootContainerItemIdentifier";
inline constexpr std::string_view kWorkingSetContainer =
    "NSFileProviderWorkingSetContainerItemIdentifier";
inline constexpr std::string_view kTrashContainer = "NSFileProviderTrashContainerItemIdentifier";

// NSFileProviderItemCapabilities, with the platform's bit values.
using ItemCapabilities = std::uint64_t;
namespace capability {
inline constexpr ItemCapabilities kAllowsReading = 1u << 0;
inline constexpr ItemCapabilities kAllowsContentEnumerating = 1u << 0;
inline constexpr ItemCapabilities kAllowsWriting = 1u << 1;
inline constexpr ItemCapabilities kAllowsAddingSubItems = 1u << 1;
inline constexpr ItemCapabilities kAllowsReparenting = 1u << 2;
inline constexpr ItemCapabilities kAllowsRenaming = 1u << 3;
inline constexpr ItemCapabilities kAllowsTrashing = 1u << 4;
inline constexpr ItemCapabilities kAllowsDeleting = 1u << 5;
inline constexpr ItemCapabilities kAllowsEvicting = 1u << 6;
inline constexpr ItemCapabilities kAllowsExcludingFromSync = 1u << 7;
}  // namespace capability

// NSFileProviderItemFields, with the platform's bit values.
using ItemFields = std::uint64_t;
namespace field {
inline constexpr ItemFields kContents = 1u << 0;
inline constexpr ItemFields kFilename = 1u << 1;
inline constexpr ItemFields kParentItemIdentifier = 1u << 2;
inline constexpr ItemFields kLastUsedDate = 1u << 3;
inline constexpr ItemFields kTagData = 1u << 4;
inline constexpr ItemFields kFavoriteRank = 1u << 5;
inline constexpr ItemFields kCreationDate = 1u << 6;
inline constexpr ItemFields kContentModificationDate = 1u << 7;
inline constexpr ItemFields kFileSystemFlags = 1u << 8;
inline constexpr ItemFields kExtendedAttributes = 1u << 9;
inline constexpr ItemFields kTypeAndCreator = 1u << 10;
}  // namespace field

// NSFileProviderItemVersion: two opaque byte strings.
struct ItemVersion {
  std::string contentVersion;
  std::string metadataVersion;
  friend bool operator==(const ItemVersion&, const ItemVersion&) = default;
};

// Seconds since 1970-01-01 00:00:00 UTC.
using Date = double;

// The item protocol. An extension overrides what it answers; the rest keeps the
// platform's defaults given here. Items are read from any thread.
class Item {
 public:
  virtual ~Item();

  virtual ItemIdentifier itemIdentifier() const = 0;
  virtual ItemIdentifier parentItemIdentifier() const = 0;
  virtual std::string filename() const = 0;

  virtual std::optional<UTType> contentType() const { return std::nullopt; }
  virtual ItemCapabilities capabilities() const {
    return capability::kAllowsReading | capability::kAllowsWriting |
           capability::kAllowsReparenting | capability::kAllowsRenaming |
           capability::kAllowsTrashing | capability::kAllowsDeleting;
  }
  virtual std::optional<std::int64_t> documentSize() const { return std::nullopt; }
  virtual std::optional<Date> contentModificationDate() const { return std::nullopt; }
  virtual bool isUploaded() const { return true; }
  virtual bool isDownloaded() const { return true; }
  virtual ItemVersion itemVersion() const { return {}; }
};

using ItemPtr = std::shared_ptr<const Item>;

}  // namespace fp

#endif  // FILEPROVIDER_ITEM_H_
