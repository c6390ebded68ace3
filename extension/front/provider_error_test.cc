#include "extension/front/provider_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "extension/front/front_test_support.h"

namespace pellora {
namespace {

using Code = fp::FileProviderErrorCode;
using testing::TempContainer;

fp::Error fileProvider(Code code) { return fp::Error::fileProvider(code); }
fp::Error cocoa(int code) { return fp::Error{std::string(fp::kCocoaErrorDomain), code, ""}; }

class ProviderErrorTest : public ::testing::Test {
 protected:
  // The error lines of the extension log, messages only.
  std::vector<std::string> errorLines() const {
    std::vector<std::string> lines;
    const std::string prefix =
        std::string("error\t") + std::string(testing::kSubsystem) + "\tExtension\t";
    for (const auto& line : container_.logLines()) {
      if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
    }
    return lines;
  }
  size_t lineCount() const { return container_.logLines().size(); }

  TempContainer container_;
};

struct Case {
  BridgeError error;
  fp::Error expected;
};

TEST_F(ProviderErrorTest, RemoteKindsMapExactlyAndIgnoreTheMessage) {
  const std::vector<Case> cases = {
      {HostBridgeError::remote("unauthorized", "m"), fileProvider(Code::kNotAuthenticated)},
      {HostBridgeError::remote("not_found", "m"), fileProvider(Code::kNoSuchItem)},
      {HostBridgeError::remote("quota", "m"), fileProvider(Code::kInsufficientQuota)},
      {HostBridgeError::remote("disk_full", "m"), cocoa(640)},
      {HostBridgeError::remote("invalid_name", "m"), cocoa(514)},
      {HostBridgeError::remote("network", "m"), fileProvider(Code::kServerUnreachable)},
      {HostBridgeError::remote("rate_limited", "m"), fileProvider(Code::kServerUnreachable)},
      {HostBridgeError::remote("locked", "m"), fileProvider(Code::kServerUnreachable)},
      // Case-sensitive: only the exact kinds count.
      {HostBridgeError::remote("Locked", "m"), fileProvider(Code::kCannotSynchronize)},
      {HostBridgeError::remote("NOT_FOUND", "m"), fileProvider(Code::kCannotSynchronize)},
      {HostBridgeError::remote("", "m"), fileProvider(Code::kCannotSynchronize)},
      // The word search is not applied to remote errors, neither kind nor message.
      {HostBridgeError::remote("conflict", "m"), fileProvider(Code::kCannotSynchronize)},
      {HostBridgeError::remote("bearbeitet", "m"), fileProvider(Code::kCannotSynchronize)},
      {HostBridgeError::remote("other", "file is locked"), fileProvider(Code::kCannotSynchronize)},
      {HostBridgeError::remote("quota", "conflict"), fileProvider(Code::kInsufficientQuota)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(describe(c.error));
    EXPECT_EQ(providerError(c.error, "U1", "fetch"), c.expected);
  }
  EXPECT_EQ(errorLines().size(), cases.size());
}

TEST_F(ProviderErrorTest, OtherErrorsAreSearchedForTransientWords) {
  const std::vector<Case> cases = {
      {HostBridgeError::failed("Datei wird bearbeitet"), fileProvider(Code::kServerUnreachable)},
      {HostBridgeError::failed("item locked by someone"), fileProvider(Code::kServerUnreachable)},
      {HostBridgeError::failed("edit conflict"), fileProvider(Code::kServerUnreachable)},
      {HostBridgeError::failed("Locked"), fileProvider(Code::kCannotSynchronize)},
      {HostBridgeError::failed("Conflict"), fileProvider(Code::kCannotSynchronize)},
      {HostBridgeError::failed("no reply from host app"), fileProvider(Code::kCannotSynchronize)},
      {HostBridgeError::failed(""), fileProvider(Code::kCannotSynchronize)},
      // Platform errors are searched in their description too.
      {fp::Error::posix(ENOSPC, "copy /a/b"), fileProvider(Code::kCannotSynchronize)},
      {fp::Error::cocoa(fp::kFileWriteFileExistsError, "upload conflict at /x"),
       fileProvider(Code::kServerUnreachable)},
      {fp::Error{"locked", 1, "domain only"}, fileProvider(Code::kServerUnreachable)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(describe(c.error));
    EXPECT_EQ(providerError(c.error, "", "write"), c.expected);
  }
  EXPECT_EQ(errorLines().size(), cases.size());
}

TEST_F(ProviderErrorTest, WritesOneErrorLineWithOperationUlidAndDescription) {
  (void)providerError(HostBridgeError::failed("no reply from host app"), "", "write");
  (void)providerError(HostBridgeError::remote("locked", "busy"), "01HX", "delete");
  const fp::Error posix = fp::Error::posix(EACCES, "copy /src");
  (void)providerError(posix, "01HY", "fetch");
  EXPECT_EQ(errorLines(), (std::vector<std::string>{
                              R"(write failed for : failed("no reply from host app"))",
                              R"(delete failed for 01HX: remote(kind: "locked", message: "busy"))",
                              "fetch failed for 01HY: " + posix.description(),
                          }));
  EXPECT_EQ(lineCount(), 3u);  // nothing at any other level or category
}

TEST_F(ProviderErrorTest, UnreachableMapsToServerUnreachableWithoutLogging) {
  EXPECT_EQ(providerError(HostBridgeError::unreachable(), "U", "fetch"),
            fileProvider(Code::kServerUnreachable));
  EXPECT_EQ(lineCount(), 0u);
}

TEST_F(ProviderErrorTest, ErrorsCarryNoMessage) {
  // The platform shows its own text; nothing of ours goes along.
  for (const char* kind : {"disk_full", "invalid_name", "quota", "whatever"}) {
    fp::Error e = providerError(HostBridgeError::remote(kind, "secret detail"), "U", "write");
    EXPECT_TRUE(e.message.empty()) << kind;
  }
  EXPECT_EQ(providerError(HostBridgeError::remote("disk_full", "m"), "U", "write").domain,
            fp::kCocoaErrorDomain);
}

}  // namespace
}  // namespace pellora
