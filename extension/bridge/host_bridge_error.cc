#include "extension/bridge/host_bridge_error.h"

#include <cstdio>
#include <utility>

namespace pellora {
namespace {

// Appends `text` in double quotes. A double quote and a backslash get a
// backslash before them; LF, CR and TAB become \n, \r and \t, NUL becomes \0,
// and every other control character (U+0001 to U+001F, U+007F and the C1 range
// U+0080 to U+009F) becomes \u{XX} with its code point in upper-case hex. All
// other bytes, UTF-8 sequences included, are copied unchanged.
void appendQuoted(std::string& out, const std::string& text) {
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    char escape[12];
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\0':
        out += "\\0";
        continue;
      default:
        break;
    }
    if (c < 0x20 || c == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\u{%X}", c);
      out += escape;
    } else if (c == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      // A C1 control character: the two bytes C2 80 to C2 9F.
      std::snprintf(escape, sizeof escape, "\\u{%X}", static_cast<unsigned char>(text[i + 1]));
      out += escape;
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

}  // namespace

HostBridgeError HostBridgeError::failed(std::string message) {
  return HostBridgeError(Case::failed, {}, std::move(message));
}

HostBridgeError HostBridgeError::remote(std::string kind, std::string message) {
  return HostBridgeError(Case::remote, std::move(kind), std::move(message));
}

HostBridgeError HostBridgeError::unreachable() {
  return HostBridgeError(Case::unreachable, {}, {});
}

std::string HostBridgeError::text() const {
  std::string out;
  switch (case_) {
    case Case::failed:
      out = "failed(";
      appendQuoted(out, message_);
      out += ')';
      break;
    case Case::remote:
      out = "remote(kind: ";
      appendQuoted(out, kind_);
      out += ", message: ";
      appendQuoted(out, message_);
      out += ')';
      break;
    case Case::unreachable:
      out = "unreachable";
      break;
  }
  return out;
}

std::string describe(const BridgeError& error) {
  if (const auto* bridge = std::get_if<HostBridgeError>(&error)) return bridge->text();
  return std::get<fp::Error>(error).description();
}

}  // namespace pellora
