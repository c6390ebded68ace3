// HostBridgeError: the bridge's own error value, and the union of everything a
// bridge operation can fail with.
#ifndef PELLORA_BRIDGE_HOST_BRIDGE_ERROR_H_
#define PELLORA_BRIDGE_HOST_BRIDGE_ERROR_H_

#include <string>
#include <variant>

#include "fileprovider/error.h"
#include "fileprovider/result.h"

namespace pellora {

class HostBridgeError {
 public:
  // The cases, in this order.
  enum class Case { failed = 0, remote = 1, unreachable = 2 };

  static HostBridgeError failed(std::string message);
  static HostBridgeError remote(std::string kind, std::string message);
  static HostBridgeError unreachable();

  Case errorCase() const { return case_; }
  // failed: the message; remote: the message; unreachable: empty.
  const std::string& message() const { return message_; }
  // remote: the kind; otherwise empty.
  const std::string& kind() const { return kind_; }

  // failed("msg"), remote(kind: "k", message: "m") or unreachable, with a double
  // quote, a backslash and control characters inside the quotes escaped: \" and
  // \\, \n, \r, \t and \0, and every other control character (U+0001 to U+001F,
  // U+007F, U+0080 to U+009F) as \u{XX}, its code point in upper-case hex
  // without leading zeros. Everything else is copied unchanged.
  std::string text() const;

  friend bool operator==(const HostBridgeError&, const HostBridgeError&) = default;

 private:
  HostBridgeError(Case c, std::string kind, std::string message)
      : case_(c), kind_(std::move(kind)), message_(std::move(message)) {}
  Case case_;
  std::string kind_;
  std::string message_;
};

// What a bridge operation fails with: its own error, or a platform error passed
// through unchanged (the JSON serialiser's, or a file-system error of staging).
using BridgeError = std::variant<HostBridgeError, fp::Error>;

template <class T>
using BridgeResult = fp::Result<T, BridgeError>;

// The textual description: text() for a HostBridgeError, description() otherwise.
std::string describe(const BridgeError& error);

}  // namespace pellora

#endif  // PELLORA_BRIDGE_HOST_BRIDGE_ERROR_H_
