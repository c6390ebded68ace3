#include "extension/front/front_test_support.h"

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

namespace pellora::testing {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

// The state one request shares with its handler, which may run on any thread.
class Pending {
 public:
  explicit Pending() : caller_(std::this_thread::get_id()) {}

  // Records one handler call. A handler on another thread first waits until the
  // method has returned, so it can see the progress while it runs.
  void record(const std::function<void(Outcome&)>& fill) {
    std::unique_lock lock(mutex_);
    const bool onCaller = std::this_thread::get_id() == caller_;
    if (!onCaller) changed_.wait_for(lock, kWaitLimit, [&] { return returned_; });
    ++out_.calls;
    out_.onCallingThread = onCaller;
    if (!onCaller && out_.progress) {
      out_.completedDuringHandler = out_.progress->completedUnitCount();
    }
    fill(out_);
    changed_.notify_all();
  }

  void returned(fp::ProgressPtr progress) {
    std::lock_guard lock(mutex_);
    out_.calledBeforeReturn = out_.calls > 0;
    out_.completedAtReturn = progress ? progress->completedUnitCount() : -1;
    out_.progress = std::move(progress);
    returned_ = true;
    changed_.notify_all();
  }

  // Waits for the handler and then for the progress to finish.
  Outcome wait() {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, kWaitLimit, [&] { return out_.calls > 0; })) {
      ADD_FAILURE() << "completion handler not called";
      return out_;
    }
    fp::ProgressPtr progress = out_.progress;
    lock.unlock();
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (progress && !progress->isFinished() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    lock.lock();
    EXPECT_TRUE(progress && progress->isFinished()) << "progress never completed";
    // A second call of the handler, should one come, shows in `calls`.
    changed_.wait_for(lock, kLateCallGrace, [&] { return out_.calls > 1; });
    return out_;
  }

  template <class Start>
  static Outcome run(Start start) {
    auto pending = std::make_shared<Pending>();
    fp::ProgressPtr progress = start(pending);
    pending->returned(std::move(progress));
    return pending->wait();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread::id caller_;
  bool returned_ = false;
  Outcome out_;
};

class ListObserver final : public fp::EnumerationObserver {
 public:
  void didEnumerateItems(std::vector<fp::ItemPtr> items) override {
    listing.calls.push_back("items");
    listing.items.insert(listing.items.end(), items.begin(), items.end());
  }
  void finishEnumeratingUpToPage(std::optional<fp::Page> nextPage) override {
    listing.calls.push_back("finish");
    listing.nextPage = std::move(nextPage);
  }
  void finishEnumeratingWithError(fp::Error error) override {
    listing.calls.push_back("error");
    listing.error = std::move(error);
  }
  Listing listing;
};

class ChangeObserver final : public fp::ChangeObserver {
 public:
  void didUpdateItems(std::vector<fp::ItemPtr>) override { changes.calls.push_back("updated"); }
  void didDeleteItemsWithIdentifiers(std::vector<fp::ItemIdentifier>) override {
    changes.calls.push_back("deleted");
  }
  void finishEnumeratingChangesUpToSyncAnchor(fp::SyncAnchor anchor, bool moreComing) override {
    changes.calls.push_back("finish");
    changes.anchor = std::move(anchor);
    changes.moreComing = moreComing;
  }
  void finishEnumeratingWithError(fp::Error error) override {
    changes.calls.push_back("error");
    changes.error = std::move(error);
  }
  Changes changes;
};

fp::ItemChangeHandler changeHandler(const std::shared_ptr<Pending>& pending) {
  return [pending](fp::ItemPtr item, fp::ItemFields remaining, bool refetch,
                   std::optional<fp::Error> error) {
    pending->record([&](Outcome& o) {
      o.item = std::move(item);
      o.remainingFields = remaining;
      o.shouldFetchContent = refetch;
      o.error = std::move(error);
    });
  };
}

}  // namespace

std::shared_ptr<fp::ExtensionBundle>* FrontTest::bundle_ = nullptr;

std::vector<std::string> Listing::identifiers() const {
  std::vector<std::string> ids;
  for (const auto& item : items) ids.push_back(item->itemIdentifier());
  return ids;
}

void FrontTest::SetUpTestSuite() {
  if (bundle_) return;
  auto loaded = fp::ExtensionBundle::load(PELLORA_BUNDLE_DIR);
  ASSERT_TRUE(loaded.ok()) << loaded.error().description();
  bundle_ = new std::shared_ptr<fp::ExtensionBundle>(std::move(loaded).value());
}

void FrontTest::SetUp() {
  ASSERT_NE(bundle_, nullptr);
  extension_ = makeExtension(kDefaultDomain);
  ASSERT_NE(extension_, nullptr);
}

void FrontTest::TearDown() {
  // Requests end before the host and the container go away.
  if (host_) {
    EXPECT_TRUE(host_->waitIdle());
  }
  host_.reset();
  index_.reset();
  extension_.reset();
}

std::shared_ptr<fp::ReplicatedExtension> FrontTest::makeExtension(std::string_view domain) const {
  return (*bundle_)->makeExtension(fp::Domain{std::string(domain), "Pellora Connect", false});
}

fp::Thumbnailing& FrontTest::thumbnailing() {
  auto* thumbnailing = dynamic_cast<fp::Thumbnailing*>(extension_.get());
  if (!thumbnailing) throw std::runtime_error("the extension does not make thumbnails");
  return *thumbnailing;
}

TestIndex& FrontTest::index(JournalMode mode) {
  if (!index_) index_ = std::make_unique<TestIndex>(container_.dir() / "state.db", true, mode);
  return *index_;
}

TestHost& FrontTest::host() {
  if (!host_) host_ = std::make_unique<TestHost>(container_);
  return *host_;
}

void FrontTest::serve(TestHost::Responder reply, std::chrono::milliseconds delay) {
  host().respond(std::move(reply), delay);
}

void FrontTest::serveSuccess(std::string newUlid, fs::path fetchPath, fs::path thumbnailPath) {
  serve([=](const json& request) {
    json reply = {{"ok", true}};
    const std::string op = request.value("op", "");
    if (op == "fetch") reply["path"] = fetchPath.string();
    if (op == "thumbnail") reply["path"] = thumbnailPath.string();
    if (op == "create") reply["ulid"] = newUlid;
    return reply.dump() + "\n";
  });
}

void FrontTest::serveFailure(std::optional<std::string> kind, std::string message) {
  serve([=](const json&) {
    json reply = {{"ok", false}, {"error", message}};
    if (kind) reply["kind"] = *kind;
    return reply.dump() + "\n";
  });
}

std::vector<json> FrontTest::requests() {
  EXPECT_TRUE(host().waitIdle());
  return host().parsedRequests();
}

Outcome FrontTest::lookUp(std::string_view identifier) {
  return Pending::run([&](const std::shared_ptr<Pending>& pending) {
    return extension().item(std::string(identifier), fp::Request{},
                            [pending](fp::ItemPtr item, std::optional<fp::Error> error) {
                              pending->record([&](Outcome& o) {
                                o.item = std::move(item);
                                o.error = std::move(error);
                              });
                            });
  });
}

Outcome FrontTest::fetch(std::string_view identifier, fp::ReplicatedExtension* on) {
  fp::ReplicatedExtension& target = on ? *on : extension();
  return Pending::run([&](const std::shared_ptr<Pending>& pending) {
    return target.fetchContents(
        std::string(identifier), std::nullopt, fp::Request{},
        [pending](std::optional<fs::path> url, fp::ItemPtr item, std::optional<fp::Error> error) {
          pending->record([&](Outcome& o) {
            o.url = std::move(url);
            o.item = std::move(item);
            o.error = std::move(error);
          });
        });
  });
}

Outcome FrontTest::create(const TestItem& itemTemplate, std::optional<fs::path> contents) {
  return Pending::run([&](const std::shared_ptr<Pending>& pending) {
    return extension().createItem(itemTemplate, fp::field::kFilename, contents, 0, fp::Request{},
                                  changeHandler(pending));
  });
}

Outcome FrontTest::modify(const TestItem& item, fp::ItemFields changedFields,
                          std::optional<fs::path> contents) {
  return Pending::run([&](const std::shared_ptr<Pending>& pending) {
    return extension().modifyItem(item, fp::ItemVersion{"1", "1-x"}, changedFields, contents, 0,
                                  fp::Request{}, changeHandler(pending));
  });
}

Outcome FrontTest::remove(std::string_view identifier) {
  return Pending::run([&](const std::shared_ptr<Pending>& pending) {
    return extension().deleteItem(
        std::string(identifier), fp::ItemVersion{"1", "1-x"}, fp::option::kRecursive, fp::Request{},
        [pending](std::optional<fp::Error> error) {
          pending->record([&](Outcome& o) { o.error = std::move(error); });
        });
  });
}

ThumbnailOutcome FrontTest::thumbnails(std::vector<fp::ItemIdentifier> identifiers,
                                       std::function<void(const fp::ProgressPtr&)> perThumbnail,
                                       std::function<void(const fp::ProgressPtr&)> afterReturn) {
  struct State {
    std::mutex mutex;
    std::condition_variable done;
    fp::ProgressPtr progress;
    ThumbnailOutcome out;
  };
  auto state = std::make_shared<State>();
  std::unique_lock lock(state->mutex);  // held until the progress is published
  fp::ProgressPtr progress = thumbnailing().fetchThumbnails(
      identifiers, fp::Size{64, 64},
      [state, perThumbnail](const fp::ItemIdentifier& id, std::optional<std::string> data,
                            std::optional<fp::Error> error) {
        std::lock_guard l(state->mutex);
        state->out.thumbnails.push_back({id, std::move(data), std::move(error)});
        if (perThumbnail) perThumbnail(state->progress);
      },
      [state](std::optional<fp::Error> error) {
        std::lock_guard l(state->mutex);
        ++state->out.finalCalls;
        state->out.finalError = std::move(error);
        state->done.notify_all();
      });
  state->progress = progress;
  state->out.progress = progress;
  lock.unlock();
  if (afterReturn) afterReturn(progress);
  lock.lock();
  EXPECT_TRUE(state->done.wait_for(lock, kWaitLimit, [&] { return state->out.finalCalls > 0; }))
      << "final thumbnail handler not called";
  state->done.wait_for(lock, kLateCallGrace, [&] { return state->out.finalCalls > 1; });
  return state->out;
}

Listing FrontTest::list(std::string_view container, const fp::Page& page) {
  auto enumerator = extension().enumerator(std::string(container), fp::Request{});
  EXPECT_NE(enumerator, nullptr);
  if (!enumerator) return {};
  auto observer = std::make_shared<ListObserver>();
  enumerator->enumerateItems(observer, page);
  return observer->listing;
}

fp::SyncAnchor FrontTest::currentAnchor(std::string_view container) {
  auto enumerator = extension().enumerator(std::string(container), fp::Request{});
  std::optional<fp::SyncAnchor> anchor;
  int calls = 0;
  enumerator->currentSyncAnchor([&](std::optional<fp::SyncAnchor> a) {
    ++calls;
    anchor = std::move(a);
  });
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(anchor.has_value());
  return anchor.value_or("");
}

Changes FrontTest::changesSince(const fp::SyncAnchor& anchor, std::string_view container) {
  auto enumerator = extension().enumerator(std::string(container), fp::Request{});
  auto observer = std::make_shared<ChangeObserver>();
  enumerator->enumerateChanges(observer, anchor);
  return observer->changes;
}

std::vector<std::string> FrontTest::log(std::string_view category) const {
  std::vector<std::string> lines;
  const std::string prefix = std::string(kSubsystem) + "\t" + std::string(category) + "\t";
  for (const auto& line : container_.logLines()) {
    // "level\tsubsystem\tcategory\tmessage"
    auto tab = line.find('\t');
    if (tab == std::string::npos || line.compare(tab + 1, prefix.size(), prefix) != 0) continue;
    lines.push_back(line.substr(0, tab) + "\t" + line.substr(tab + 1 + prefix.size()));
  }
  return lines;
}

fs::path FrontTest::writeFile(std::string_view name, std::string_view bytes) const {
  fs::path path = container_.root() / std::string(name);
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

}  // namespace pellora::testing
