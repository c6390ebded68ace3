// Why the host could not carry out a request: the one error value of the
// host's request handling, turned into the failure reply in one place.
#ifndef PELLORA_REFHOST_REQUEST_FAILURE_H_
#define PELLORA_REFHOST_REQUEST_FAILURE_H_

#include <nlohmann/json.hpp>
#include <string>

#include "fileprovider/result.h"

namespace refhost {

struct RequestFailure {
  // What the extension tells the user apart by: "not_found", "invalid_name",
  // "locked", "unauthorized", "disk_full", "quota". Empty when the request
  // itself is wrong or the host failed.
  std::string kind;
  // The text for people; always set.
  std::string message;

  friend bool operator==(const RequestFailure&, const RequestFailure&) = default;
};

template <class T>
using RequestResult = fp::Result<T, RequestFailure>;
using RequestStatus = fp::Result<void, RequestFailure>;

// The reply that answers a request with `failure`:
// {"ok":false,"error":MESSAGE} plus "kind":KIND when it has a kind.
[[nodiscard]] nlohmann::json replyFor(const RequestFailure& failure);

}  // namespace refhost

#endif  // PELLORA_REFHOST_REQUEST_FAILURE_H_
