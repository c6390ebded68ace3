// Helpers shared by the bridge's tests.
#ifndef PELLORA_BRIDGE_BRIDGE_TEST_SUPPORT_H_
#define PELLORA_BRIDGE_BRIDGE_TEST_SUPPORT_H_

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "extension/bridge/host_bridge.h"

namespace pellora::testing {

// Entries of /proc/self/fd: the descriptors this process holds.
inline int openDescriptorCount() {
  int n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// The outcome of a bridge call as one comparable string: "ok" (or "ok: " and
// the value's text) or the error's text form.
template <class T>
std::string outcome(const BridgeResult<T>& r) {
  if (!r.ok()) return describe(r.error());
  if constexpr (std::is_void_v<T>) {
    return "ok";
  } else if constexpr (std::is_same_v<T, std::filesystem::path>) {
    return "ok: " + r->string();
  } else if constexpr (std::is_same_v<T, std::string>) {
    return "ok: " + *r;
  } else {
    return "ok: " + r->dump();
  }
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace pellora::testing

#endif  // PELLORA_BRIDGE_BRIDGE_TEST_SUPPORT_H_
