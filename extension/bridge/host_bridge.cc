// The five operations of HostBridge and the staging of new contents.
#include "extension/bridge/host_bridge.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "extension/bridge/host_bridge_transport.h"
#include "extension/platform/app_group.h"
#include "fileprovider/file_manager.h"
#include "fileprovider/scoped_fd.h"

namespace pellora::HostBridge {
namespace {

namespace fs = std::filesystem;

fp::Failure<HostBridgeError> requestFailed(std::string message) {
  return fp::fail(HostBridgeError::failed(std::move(message)));
}

// A random (version 4) UUID in its canonical upper-case text form,
// XXXXXXXX-XXXX-4XXX-YXXX-XXXXXXXXXXXX, from the kernel's random source.
fp::StatusOr<std::string> randomUUIDText() {
  std::uint8_t bytes[16];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t n =
        fp::retryOnEintr([&] { return ::getrandom(bytes + filled, sizeof bytes - filled, 0); });
    if (n < 0) return fp::fail(fp::Error::posix(errno, "getrandom"));
    filled += static_cast<std::size_t>(n);
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return std::string(text, 36);
}

// Copies `item` to a fresh file in the staging folder and returns the copy's
// path. The copy is never removed here: once its path is sent it belongs to the
// host application, and a copy whose request was never sent stays as well.
BridgeResult<fs::path> stage(const fs::path& item) {
  auto container = appGroupContainer(appGroupName);
  if (!container) return fp::fail(HostBridgeError::unreachable());
  auto& files = fp::FileManager::defaultManager();
  const fs::path folder = *container / std::string(stagingFolderName);
  if (auto made = files.createDirectory(folder, /*withIntermediateDirectories=*/true); !made) {
    return fp::propagate(made);
  }
  auto name = randomUUIDText();
  if (!name.ok()) return fp::propagate(name);
  fs::path target = folder / *name;
  // Nothing is normally there; whatever is goes, and a failure shows in the copy.
  (void)files.removeItem(target);
  if (auto copied = files.copyItem(item, target); !copied) {
    return fp::propagate(copied);
  }
  // The copy takes the mode of the original; in the container it is the owner's alone.
  // The error names no path: the error mapping searches its text for words.
  std::error_code ec;
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write, ec);
  if (ec) return fp::fail(fp::Error::posix(ec.value(), "restricting the staged copy"));
  return target;
}

// roundTrip, then succeed.
BridgeResult<Reply> ask(const Request& request, double timeout) {
  auto reply = roundTrip(request, timeout);
  if (!reply.ok()) return reply;
  return succeed(std::move(reply).value());
}

// The string value of `key` in `reply`, or requestFailed(`missing`).
BridgeResult<std::string> stringAt(const Reply& reply, const char* key, const char* missing) {
  auto it = reply.find(key);
  if (it == reply.end() || !it->is_string()) return requestFailed(missing);
  return it->get<std::string>();
}

BridgeResult<fs::path> pathRequest(std::string_view op, std::string_view account,
                                   std::string_view ulid, double timeout, const char* missing) {
  Request request;
  request["op"] = std::string(op);
  request["account"] = std::string(account);
  request["ulid"] = std::string(ulid);
  auto reply = ask(request, timeout);
  if (!reply.ok()) return fp::propagate(reply);
  auto path = stringAt(*reply, "path", missing);
  if (!path.ok()) return fp::propagate(path);
  return fs::path(std::move(path).value());
}

BridgeResult<void> succeedAlone(const Request& request, double timeout) {
  auto reply = ask(request, timeout);
  if (!reply.ok()) return fp::propagate(reply);
  return fp::Ok{};
}

}  // namespace

BridgeResult<fs::path> fetch(std::string_view account, std::string_view ulid, double timeout) {
  return pathRequest("fetch", account, ulid, timeout, "host app returned no path");
}

BridgeResult<fs::path> thumbnail(std::string_view account, std::string_view ulid, double timeout) {
  return pathRequest("thumbnail", account, ulid, timeout, "host app returned no thumbnail path");
}

BridgeResult<std::string> create(std::string_view account, const std::optional<std::string>& parent,
                                 std::string_view name, const std::optional<fs::path>& contents,
                                 double timeout) {
  Request request;
  request["op"] = "create";
  request["account"] = std::string(account);
  request["name"] = std::string(name);
  if (parent) request["parent"] = *parent;
  if (contents) {
    auto staged = stage(*contents);
    if (!staged.ok()) return fp::propagate(staged);
    request["path"] = staged->string();
  }
  auto reply = ask(request, timeout);
  if (!reply.ok()) return fp::propagate(reply);
  return stringAt(*reply, "ulid", "host app returned no item id");
}

BridgeResult<void> modify(std::string_view account, std::string_view ulid, bool isFolder,
                          const std::optional<fs::path>& contents,
                          const std::optional<std::string>& name, const ParentChange& parent,
                          double timeout) {
  Request request;
  request["op"] = "modify";
  request["account"] = std::string(account);
  request["ulid"] = std::string(ulid);
  request["is_folder"] = isFolder;
  if (contents) {
    auto staged = stage(*contents);
    if (!staged.ok()) return fp::propagate(staged);
    request["path"] = staged->string();
  }
  if (name) request["name"] = *name;
  if (std::holds_alternative<TopLevel>(parent)) {
    request["parent"] = nullptr;
  } else if (const auto* folder = std::get_if<IntoFolder>(&parent)) {
    request["parent"] = folder->ulid;
  }
  return succeedAlone(request, timeout);
}

BridgeResult<void> deleteItem(std::string_view account, std::string_view ulid, bool isFolder,
                              double timeout) {
  Request request;
  request["op"] = "delete";
  request["account"] = std::string(account);
  request["ulid"] = std::string(ulid);
  request["is_folder"] = isFolder;
  return succeedAlone(request, timeout);
}

}  // namespace pellora::HostBridge
