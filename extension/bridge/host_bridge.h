// HostBridge: the client side of the host application's socket. Every call is
// synchronous, opens its own connection and keeps no state.
#ifndef PELLORA_BRIDGE_HOST_BRIDGE_H_
#define PELLORA_BRIDGE_HOST_BRIDGE_H_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "extension/bridge/host_bridge_error.h"

namespace pellora {
namespace HostBridge {

inline constexpr std::string_view socketName = "fp.sock";
inline constexpr std::string_view stagingFolderName = "fp-upload";
// Longest socket path, in UTF-8 bytes.
inline constexpr std::size_t maxSocketPathBytes = 103;
// Longest reply read before the exchange fails.
inline constexpr std::size_t maxReplyBytes = 1 << 20;
// Longest thumbnail file the extension reads from the path the host names.
inline constexpr std::size_t maxThumbnailBytes = std::size_t{32} << 20;

// Default time-outs, in seconds, per operation.
inline constexpr double fetchTimeout = 300;
inline constexpr double thumbnailTimeout = 20;
inline constexpr double createTimeout = 600;
inline constexpr double modifyTimeout = 600;
inline constexpr double deleteTimeout = 120;

// Where a modified item goes.
struct Unchanged {};  // it does not move: no "parent" key
struct TopLevel {};   // to the top level: "parent": null
struct IntoFolder {   // into a folder: "parent": ulid
  std::string ulid;
};
using ParentChange = std::variant<Unchanged, TopLevel, IntoFolder>;

// "fp.sock" in the app-group container; unreachable when the container does not resolve.
BridgeResult<std::filesystem::path> socketURL();

BridgeResult<std::filesystem::path> fetch(std::string_view account, std::string_view ulid,
                                          double timeout = fetchTimeout);
BridgeResult<std::filesystem::path> thumbnail(std::string_view account, std::string_view ulid,
                                              double timeout = thumbnailTimeout);
// The new item's ulid. A folder is created when `contents` is none.
BridgeResult<std::string> create(std::string_view account, const std::optional<std::string>& parent,
                                 std::string_view name,
                                 const std::optional<std::filesystem::path>& contents,
                                 double timeout = createTimeout);
BridgeResult<void> modify(std::string_view account, std::string_view ulid, bool isFolder,
                          const std::optional<std::filesystem::path>& contents,
                          const std::optional<std::string>& name, const ParentChange& parent,
                          double timeout = modifyTimeout);
// The "delete" operation ("delete" is a C++ keyword).
BridgeResult<void> deleteItem(std::string_view account, std::string_view ulid, bool isFolder,
                              double timeout = deleteTimeout);

}  // namespace HostBridge
}  // namespace pellora

#endif  // PELLORA_BRIDGE_HOST_BRIDGE_H_
