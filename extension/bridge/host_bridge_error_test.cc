#include "extension/bridge/host_bridge_error.h"

#include <gtest/gtest.h>

#include <string>

namespace pellora {
namespace {

using namespace std::string_literals;

struct TextCase {
  HostBridgeError error;
  std::string text;
};

TEST(HostBridgeErrorTest, TextForm) {
  const TextCase cases[] = {
      {HostBridgeError::failed("no reply from host app"), R"(failed("no reply from host app"))"},
      {HostBridgeError::failed(""), R"(failed(""))"},
      {HostBridgeError::remote("not_found", "gone"),
       R"(remote(kind: "not_found", message: "gone"))"},
      {HostBridgeError::unreachable(), "unreachable"},
      // A double quote, a backslash and control characters are escaped.
      {HostBridgeError::failed("say \"hi\" \\ there"), R"(failed("say \"hi\" \\ there"))"},
      {HostBridgeError::failed("a\nb\tc\rd"), R"(failed("a\nb\tc\rd"))"},
      {HostBridgeError::failed("nul\0x\x01y\x1Fz\x7F"s), R"(failed("nul\0x\u{1}y\u{1F}z\u{7F}"))"},
      {HostBridgeError::remote("k\"", "m\xC2\x85n"), R"(remote(kind: "k\"", message: "m\u{85}n"))"},
      // Other text, non-ASCII included, is kept as it is.
      {HostBridgeError::failed("Datei wird bearbeitet: ä/€"),
       R"(failed("Datei wird bearbeitet: ä/€"))"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.text(), c.text);
}

TEST(HostBridgeErrorTest, CasesAndPayload) {
  EXPECT_EQ(static_cast<int>(HostBridgeError::Case::failed), 0);
  EXPECT_EQ(static_cast<int>(HostBridgeError::Case::remote), 1);
  EXPECT_EQ(static_cast<int>(HostBridgeError::Case::unreachable), 2);

  auto remote = HostBridgeError::remote("quota", "full");
  EXPECT_EQ(remote.errorCase(), HostBridgeError::Case::remote);
  EXPECT_EQ(remote.kind(), "quota");
  EXPECT_EQ(remote.message(), "full");
  EXPECT_EQ(remote, HostBridgeError::remote("quota", "full"));
  EXPECT_NE(remote, HostBridgeError::remote("quota", "other"));
  EXPECT_NE(HostBridgeError::failed("x"), HostBridgeError::remote("", "x"));
}

TEST(HostBridgeErrorTest, DescribeUsesEachCasesOwnText) {
  EXPECT_EQ(describe(HostBridgeError::unreachable()), "unreachable");
  fp::Error platform{std::string(fp::kCocoaErrorDomain), fp::kFileNoSuchFileError, "gone"};
  EXPECT_EQ(describe(platform), platform.description());
}

}  // namespace
}  // namespace pellora
