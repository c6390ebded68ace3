#include "extension/front/provider_error.h"

#include <array>
#include <string>
#include <utility>
#include <variant>

#include "extension/platform/logs.h"

namespace pellora {
namespace {

using Code = fp::FileProviderErrorCode;

fp::Error forRemoteKind(std::string_view kind) {
  if (kind == "unauthorized") return fp::Error::fileProvider(Code::kNotAuthenticated);
  if (kind == "not_found") return fp::Error::fileProvider(Code::kNoSuchItem);
  if (kind == "quota") return fp::Error::fileProvider(Code::kInsufficientQuota);
  if (kind == "disk_full") return fp::Error::cocoa(fp::kFileWriteOutOfSpaceError);
  if (kind == "invalid_name") return fp::Error::cocoa(fp::kFileWriteInvalidFileNameError);
  // Transient conditions on the service's side: the platform retries later.
  if (kind == "network" || kind == "rate_limited" || kind == "locked") {
    return fp::Error::fileProvider(Code::kServerUnreachable);
  }
  return fp::Error::fileProvider(Code::kCannotSynchronize);
}

// Words in the text of an unclassified failure that mark it as transient: the item
// is being edited elsewhere ("bearbeitet" is how the service says so), locked, or
// in conflict with another change.
constexpr std::array<std::string_view, 3> kTransientWords = {"bearbeitet", "locked", "conflict"};

}  // namespace

fp::Error providerError(const BridgeError& error, std::string_view ulid, std::string_view op) {
  const auto* bridge = std::get_if<HostBridgeError>(&error);
  if (bridge && bridge->errorCase() == HostBridgeError::Case::unreachable) {
    return fp::Error::fileProvider(Code::kServerUnreachable);
  }

  const std::string description = describe(error);
  extensionLog().error("%{public}@ failed for %{public}@: %{public}@", {op, ulid, description});

  if (bridge && bridge->errorCase() == HostBridgeError::Case::remote) {
    return forRemoteKind(bridge->kind());
  }
  for (std::string_view word : kTransientWords) {
    if (description.find(word) != std::string::npos) {
      return fp::Error::fileProvider(Code::kServerUnreachable);
    }
  }
  return fp::Error::fileProvider(Code::kCannotSynchronize);
}

}  // namespace pellora
