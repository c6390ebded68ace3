// Test support for the extension front: a fixture that loads the built bundle
// through the platform's loader, gives it a temporary app-group container, an
// index written by a second connection and a scripted host on the real socket,
// and verbs that make one request each and wait for its completion.
#ifndef PELLORA_FRONT_FRONT_TEST_SUPPORT_H_
#define PELLORA_FRONT_FRONT_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "extension/testing/temp_container.h"
#include "extension/testing/test_host.h"
#include "extension/testing/test_index.h"
#include "fileprovider/bundle.h"
#include "fileprovider/extension.h"

namespace pellora::testing {

inline constexpr std::string_view kDefaultDomain = "de.brightfold.pellora-connect-desktop.default";
inline constexpr std::string_view kRoot = fp::kRootContainer;
inline constexpr std::string_view kSubsystem = "de.brightfold.pellora-connect-desktop.fileprovider";
inline constexpr auto kWaitLimit = std::chrono::seconds(60);
// How long a check of "called exactly once" waits after the first call for a
// second one that comes late.
inline constexpr auto kLateCallGrace = std::chrono::milliseconds(100);

// An item as the platform passes it to createItem and modifyItem.
class TestItem final : public fp::Item {
 public:
  TestItem(std::string id, std::string parent, std::string filename,
           std::optional<fp::UTType> type = fp::UTType::data())
      : id_(std::move(id)),
        parent_(std::move(parent)),
        filename_(std::move(filename)),
        type_(std::move(type)) {}
  fp::ItemIdentifier itemIdentifier() const override { return id_; }
  fp::ItemIdentifier parentItemIdentifier() const override { return parent_; }
  std::string filename() const override { return filename_; }
  std::optional<fp::UTType> contentType() const override { return type_; }

 private:
  std::string id_, parent_, filename_;
  std::optional<fp::UTType> type_;
};

// What the completion handler of one request received.
struct Outcome {
  int calls = 0;  // how often the handler was called
  fp::ItemPtr item;
  std::optional<std::filesystem::path> url;
  std::optional<fp::Error> error;
  fp::ItemFields remainingFields = ~fp::ItemFields{0};
  bool shouldFetchContent = true;
  bool calledBeforeReturn = false;  // the handler had run when the method returned
  bool onCallingThread = false;     // the handler ran on the thread that made the request
  // For handlers on another thread: the progress's completed count while the
  // handler ran (the progress is completed only after the handler has returned).
  std::int64_t completedDuringHandler = -1;
  fp::ProgressPtr progress;  // as returned; finished when the verb returns
  // Completed count at the moment the method returned.
  std::int64_t completedAtReturn = -1;
};

struct Thumbnail {
  std::string identifier;
  std::optional<std::string> data;
  std::optional<fp::Error> error;
};

struct ThumbnailOutcome {
  std::vector<Thumbnail> thumbnails;  // per-thumbnail calls, in call order
  int finalCalls = 0;
  std::optional<fp::Error> finalError;
  fp::ProgressPtr progress;
};

// What a listing observer was told, call by call.
struct Listing {
  std::vector<std::string> calls;  // "items" / "finish" / "error"
  std::vector<fp::ItemPtr> items;
  std::optional<fp::Page> nextPage;
  std::optional<fp::Error> error;
  std::vector<std::string> identifiers() const;
};

// What a change observer was told.
struct Changes {
  std::vector<std::string> calls;  // "updated" / "deleted" / "finish" / "error"
  std::optional<fp::SyncAnchor> anchor;
  bool moreComing = true;
  std::optional<fp::Error> error;
};

class FrontTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();

  void SetUp() override;
  void TearDown() override;

  // The extension for `domain`, made by the loaded bundle.
  std::shared_ptr<fp::ReplicatedExtension> makeExtension(std::string_view domain) const;
  fp::ReplicatedExtension& extension() { return *extension_; }
  fp::Thumbnailing& thumbnailing();

  // The index of the default domain (state.db), created on first use.
  TestIndex& index(JournalMode mode = JournalMode::kRollback);
  // The host on <container>/fp.sock, started on first use.
  TestHost& host();
  // Answers every request with `reply(request)` after `delay`.
  void serve(TestHost::Responder reply,
             std::chrono::milliseconds delay = std::chrono::milliseconds(0));
  // Answers every request with the success reply that fits its "op": a path
  // (fetch: `fetchPath`, thumbnail: `thumbnailPath`), a ulid (create: `newUlid`) or
  // nothing.
  void serveSuccess(std::string newUlid = "NEW", std::filesystem::path fetchPath = "/tmp/contents",
                    std::filesystem::path thumbnailPath = "/tmp/thumbnail");
  // Answers every request with a failure of `kind` (none: no kind) and `message`.
  void serveFailure(std::optional<std::string> kind, std::string message);
  // The requests the host received, parsed.
  std::vector<nlohmann::json> requests();

  // One request each, waiting for its completion (and its progress).
  Outcome lookUp(std::string_view identifier);
  Outcome fetch(std::string_view identifier, fp::ReplicatedExtension* on = nullptr);
  Outcome create(const TestItem& itemTemplate,
                 std::optional<std::filesystem::path> contents = std::nullopt);
  Outcome modify(const TestItem& item, fp::ItemFields changedFields,
                 std::optional<std::filesystem::path> contents = std::nullopt);
  Outcome remove(std::string_view identifier);
  // `perThumbnail` runs inside each per-thumbnail call (for cancelling);
  // `afterReturn` right after the method returned.
  ThumbnailOutcome thumbnails(std::vector<fp::ItemIdentifier> identifiers,
                              std::function<void(const fp::ProgressPtr&)> perThumbnail = {},
                              std::function<void(const fp::ProgressPtr&)> afterReturn = {});

  Listing list(std::string_view container, const fp::Page& page = fp::kInitialPageSortedByName);
  fp::SyncAnchor currentAnchor(std::string_view container = kRoot);
  Changes changesSince(const fp::SyncAnchor& anchor, std::string_view container = kRoot);

  // Log lines of `category` as "level\tmessage" (the extension's subsystem only).
  std::vector<std::string> log(std::string_view category) const;
  // A file in the container's tree holding `bytes`.
  std::filesystem::path writeFile(std::string_view name, std::string_view bytes) const;

  TempContainer container_;
  std::unique_ptr<TestHost> host_;
  std::unique_ptr<TestIndex> index_;
  std::shared_ptr<fp::ReplicatedExtension> extension_;

  static std::shared_ptr<fp::ExtensionBundle>* bundle_;
};

}  // namespace pellora::testing

#endif  // PELLORA_FRONT_FRONT_TEST_SUPPORT_H_
