// The one place where failures of the host bridge and of the file system become
// the error values the platform understands.
#ifndef PELLORA_FRONT_PROVIDER_ERROR_H_
#define PELLORA_FRONT_PROVIDER_ERROR_H_

#include <string_view>

#include "extension/bridge/host_bridge_error.h"
#include "fileprovider/error.h"

namespace pellora {

// Maps `error`, raised while performing `op` ("fetch", "write" or "delete") on the
// item `ulid` (may be empty), to a platform error:
//   - unreachable: serverUnreachable (-1004), nothing logged;
//   - otherwise one error line "<op> failed for <ulid>: <description>" goes to the
//     "Extension" log, then
//   - remote: its kind, compared exactly (case-sensitive), decides: "unauthorized"
//     -1000, "not_found" -1005, "quota" -1003, "disk_full" Cocoa 640,
//     "invalid_name" Cocoa 514, "network"/"rate_limited"/"locked" -1004, any other
//     kind -2005; the message is not consulted;
//   - failed and platform errors: -1004 when the description contains
//     "bearbeitet", "locked" or "conflict" (case-sensitive), else -2005.
// File-provider errors carry their code alone; Cocoa errors domain and code alone.
// Safe to call from any thread.
[[nodiscard]] fp::Error providerError(const BridgeError& error, std::string_view ulid,
                                      std::string_view op);

}  // namespace pellora

#endif  // PELLORA_FRONT_PROVIDER_ERROR_H_
