#include "reference-host/request_failure.h"

namespace refhost {

nlohmann::json replyFor(const RequestFailure& failure) {
  nlohmann::json reply{{"ok", false}, {"error", failure.message}};
  if (!failure.kind.empty()) reply["kind"] = failure.kind;
  return reply;
}

}  // namespace refhost
