// The bridge's transport, internal to the bridge and its tests: one JSON
// request line out, one JSON reply object back, over the host's socket.
#ifndef PELLORA_BRIDGE_HOST_BRIDGE_TRANSPORT_H_
#define PELLORA_BRIDGE_HOST_BRIDGE_TRANSPORT_H_

#include <nlohmann/json.hpp>

#include "extension/bridge/host_bridge.h"

namespace pellora::HostBridge {

// Requests keep their keys in the order they were added.
using Request = nlohmann::ordered_json;
using Reply = nlohmann::json;

// One exchange: connect, send the request as one compact JSON line, read one
// reply object, close.
[[nodiscard]] BridgeResult<Reply> roundTrip(const Request& request, double timeout);

// The reply itself when its "ok" is true (or a number equal to 1); otherwise
// remote(kind, message) or failed(message).
[[nodiscard]] BridgeResult<Reply> succeed(Reply reply);

}  // namespace pellora::HostBridge

#endif  // PELLORA_BRIDGE_HOST_BRIDGE_TRANSPORT_H_
