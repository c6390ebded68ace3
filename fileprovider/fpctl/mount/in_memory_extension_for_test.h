// For the mount's tests: a replicated extension over an in-memory tree, with an
// index "data version" that every change bumps (the anchor), a record of the
// requests it got, and ways to make requests fail or wait. Content fetches and
// changes complete on threads of their own, as the real extension's do.
#ifndef FPCTL_MOUNT_IN_MEMORY_EXTENSION_FOR_TEST_H_
#define FPCTL_MOUNT_IN_MEMORY_EXTENSION_FOR_TEST_H_

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fileprovider/extension.h"

namespace fpctl::mount::testing {

class InMemoryExtension : public fp::ReplicatedExtension {
 public:
  struct Entry {
    fp::ItemIdentifier parent;
    std::string name;
    bool folder = false;
    std::string data;
    std::int64_t version = 1;
    bool locked = false;
  };
  struct Call {
    std::string op;  // "create", "modify", "delete", "fetch"
    fp::ItemIdentifier identifier;
    std::string filename;
    fp::ItemIdentifier parent;
    fp::ItemFields fields = 0;
    bool folder = false;
    std::optional<std::string> contents;
  };
  // Decides whether a request fails: gets the call about to be made.
  using Failure = std::function<std::optional<fp::Error>(const Call&)>;

  explicit InMemoryExtension(std::filesystem::path fetchDir) : fetchDir_(std::move(fetchDir)) {
    std::filesystem::create_directories(fetchDir_);
  }
  ~InMemoryExtension() override {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mu_);
      threads.swap(threads_);
    }
    for (auto& t : threads) t.join();
  }

  // ---- the index, as the host application would change it ----
  fp::ItemIdentifier addFolder(const fp::ItemIdentifier& parent, const std::string& name) {
    return add(parent, Entry{parent, name, true, {}, 0, false}, "f:");
  }
  fp::ItemIdentifier addFile(const fp::ItemIdentifier& parent, const std::string& name,
                             const std::string& data, bool locked = false) {
    return add(parent, Entry{parent, name, false, data, 1, locked}, "i:");
  }
  void hostWrite(const fp::ItemIdentifier& id, const std::string& data) {
    std::lock_guard lock(mu_);
    entries_.at(id).data = data;
    ++entries_.at(id).version;
    ++dataVersion_;
  }
  void hostRemove(const fp::ItemIdentifier& id) {
    std::lock_guard lock(mu_);
    removeLocked(id);
  }
  std::optional<Entry> entry(const fp::ItemIdentifier& id) const {
    std::lock_guard lock(mu_);
    auto it = entries_.find(id);
    if (it == entries_.end()) return std::nullopt;
    return it->second;
  }
  // The identifier of the child named `name` of `parent`, or "".
  fp::ItemIdentifier childNamed(const fp::ItemIdentifier& parent, const std::string& name) const {
    std::lock_guard lock(mu_);
    for (const auto& [id, e] : entries_) {
      if (e.parent == parent && e.name == name) return id;
    }
    return {};
  }
  std::vector<std::string> childNames(const fp::ItemIdentifier& parent) const {
    std::lock_guard lock(mu_);
    std::vector<std::string> names;
    for (const auto& [id, e] : entries_) {
      if (e.parent == parent) names.push_back(e.name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // ---- behaviour ----
  void setFailure(Failure f) {
    std::lock_guard lock(mu_);
    failure_ = std::move(f);
  }
  // Creation and modification answer with an item the index does not show yet.
  void setAnswerWithoutEntry(bool on) {
    std::lock_guard lock(mu_);
    answerWithoutEntry_ = on;
  }
  // An index that cannot be read: lookups fail and listings come back empty,
  // as the real extension reports them.
  void setIndexUnreadable(bool on) {
    std::lock_guard lock(mu_);
    indexUnreadable_ = on;
  }
  // Requests of kind `op` ("fetch", "create", ...) wait until openGate().
  void closeGate(const std::string& op) {
    std::lock_guard lock(mu_);
    gate_ = op;
  }
  void openGate() {
    std::lock_guard lock(mu_);
    gate_.clear();
    cv_.notify_all();
  }
  // How many requests wait at the gate now.
  int waiting() const {
    std::lock_guard lock(mu_);
    return waiting_;
  }

  // ---- what was asked ----
  std::vector<Call> calls() const {
    std::lock_guard lock(mu_);
    return calls_;
  }
  std::vector<Call> calls(const std::string& op) const {
    std::vector<Call> out;
    for (auto& c : calls()) {
      if (c.op == op) out.push_back(c);
    }
    return out;
  }
  int listings(const fp::ItemIdentifier& container) const {
    std::lock_guard lock(mu_);
    auto it = listings_.find(container);
    return it == listings_.end() ? 0 : it->second;
  }

  // ---- the extension ----
  void invalidate() override {}

  fp::ProgressPtr item(const fp::ItemIdentifier& identifier, const fp::Request&,
                       fp::ItemHandler done) override {
    {
      std::lock_guard lock(mu_);
      if (indexUnreadable_) {
        done(nullptr, fp::Error::cocoa(fp::kFileReadUnknownError, "the index cannot be read"));
        return fp::makeProgress(1);
      }
    }
    auto item = itemFor(identifier);
    if (item) {
      done(item, std::nullopt);
    } else {
      done(nullptr, fp::Error::fileProvider(fp::FileProviderErrorCode::kNoSuchItem));
    }
    return fp::makeProgress(1);
  }

  std::unique_ptr<fp::Enumerator> enumerator(const fp::ItemIdentifier& container,
                                             const fp::Request&) override {
    return std::make_unique<Enumerator>(*this, container);
  }

  fp::ProgressPtr fetchContents(const fp::ItemIdentifier& identifier,
                                const std::optional<fp::ItemVersion>&, const fp::Request&,
                                fp::FetchContentsHandler done) override {
    background([this, identifier, done] {
      std::unique_lock lock(mu_);
      passGate(lock, "fetch");
      Call call{"fetch", identifier, {}, {}, 0, false, std::nullopt};
      calls_.push_back(call);
      if (auto e = failureFor(call)) {
        lock.unlock();
        return done(std::nullopt, nullptr, e);
      }
      auto it = entries_.find(identifier);
      if (it == entries_.end() || it->second.folder) {
        lock.unlock();
        return done(std::nullopt, nullptr,
                    fp::Error::fileProvider(fp::FileProviderErrorCode::kNoSuchItem));
      }
      auto path = fetchDir_ / ("fetched-" + std::to_string(++fetchSerial_));
      std::ofstream(path, std::ios::binary) << it->second.data;
      auto item = itemLocked(identifier);
      lock.unlock();
      done(path, item, std::nullopt);
    });
    return fp::makeProgress(1);
  }

  fp::ProgressPtr createItem(const fp::Item& t, fp::ItemFields fields,
                             const std::optional<std::filesystem::path>& contents,
                             fp::CreateItemOptions, const fp::Request&,
                             fp::ItemChangeHandler done) override {
    bool folder = t.contentType() && *t.contentType() == fp::UTType::folder();
    Call call{"create",
              {},
              t.filename(),
              t.parentItemIdentifier(),
              fields,
              folder,
              contents && !folder ? std::optional(readFile(*contents)) : std::nullopt};
    background([this, call, done] {
      std::unique_lock lock(mu_);
      passGate(lock, call.op);
      calls_.push_back(call);
      if (auto e = failureFor(call)) {
        lock.unlock();
        return done(nullptr, 0, false, e);
      }
      fp::ItemIdentifier parent =
          entries_.count(call.parent) ? call.parent : std::string(fp::kRootContainer);
      Entry e{parent, call.filename, call.folder, call.contents.value_or(""), call.folder ? 0 : 1,
              false};
      auto id = addLocked(e, call.folder ? "f:" : "i:");
      auto item = answerWithoutEntry_ ? bareItem(id) : itemLocked(id);
      lock.unlock();
      done(item, 0, false, std::nullopt);
    });
    return fp::makeProgress(1);
  }

  fp::ProgressPtr modifyItem(const fp::Item& item, const fp::ItemVersion&, fp::ItemFields fields,
                             const std::optional<std::filesystem::path>& contents,
                             fp::ModifyItemOptions, const fp::Request&,
                             fp::ItemChangeHandler done) override {
    Call call{"modify",
              item.itemIdentifier(),
              item.filename(),
              item.parentItemIdentifier(),
              fields,
              false,
              (fields & fp::field::kContents) && contents ? std::optional(readFile(*contents))
                                                          : std::nullopt};
    background([this, call, done] {
      std::unique_lock lock(mu_);
      passGate(lock, call.op);
      calls_.push_back(call);
      if (auto e = failureFor(call)) {
        lock.unlock();
        return done(nullptr, 0, false, e);
      }
      auto it = entries_.find(call.identifier);
      if (it == entries_.end()) {
        lock.unlock();
        return done(nullptr, 0, false,
                    fp::Error::fileProvider(fp::FileProviderErrorCode::kNoSuchItem));
      }
      if (call.fields & fp::field::kFilename) it->second.name = call.filename;
      if (call.fields & fp::field::kParentItemIdentifier) it->second.parent = call.parent;
      if (call.contents) {
        it->second.data = *call.contents;
        ++it->second.version;
      }
      ++dataVersion_;
      auto item = answerWithoutEntry_ ? bareItem(call.identifier) : itemLocked(call.identifier);
      lock.unlock();
      done(item, 0, false, std::nullopt);
    });
    return fp::makeProgress(1);
  }

  fp::ProgressPtr deleteItem(const fp::ItemIdentifier& identifier, const fp::ItemVersion&,
                             fp::DeleteItemOptions, const fp::Request&,
                             fp::ErrorHandler done) override {
    background([this, identifier, done] {
      std::unique_lock lock(mu_);
      Call call{"delete", identifier, {}, {}, 0, false, std::nullopt};
      calls_.push_back(call);
      if (auto e = failureFor(call)) {
        lock.unlock();
        return done(e);
      }
      bool found = entries_.count(identifier) > 0;
      removeLocked(identifier);  // a folder goes with everything in it
      lock.unlock();
      done(found ? std::nullopt
                 : std::optional(fp::Error::fileProvider(fp::FileProviderErrorCode::kNoSuchItem)));
    });
    return fp::makeProgress(1);
  }

 private:
  class Item final : public fp::Item {
   public:
    Item(fp::ItemIdentifier id, Entry e, bool root)
        : id_(std::move(id)), e_(std::move(e)), root_(root) {}
    fp::ItemIdentifier itemIdentifier() const override { return id_; }
    fp::ItemIdentifier parentItemIdentifier() const override { return e_.parent; }
    std::string filename() const override { return e_.name; }
    std::optional<fp::UTType> contentType() const override {
      return e_.folder ? fp::UTType::folder() : fp::UTType::data();
    }
    fp::ItemCapabilities capabilities() const override {
      if (root_) return 3;
      return e_.locked ? 1 : 47;
    }
    std::optional<std::int64_t> documentSize() const override {
      if (e_.folder) return std::nullopt;
      return static_cast<std::int64_t>(e_.data.size());
    }
    std::optional<fp::Date> contentModificationDate() const override {
      if (e_.folder) return std::nullopt;
      return 1700000000.0 + static_cast<double>(e_.version);
    }
    fp::ItemVersion itemVersion() const override {
      return {std::to_string(e_.version), std::to_string(e_.version) + "-" + e_.name};
    }

   private:
    fp::ItemIdentifier id_;
    Entry e_;
    bool root_;
  };

  class Enumerator final : public fp::Enumerator {
   public:
    Enumerator(InMemoryExtension& ext, fp::ItemIdentifier container)
        : ext_(ext), container_(std::move(container)) {}
    void invalidate() override {}
    void enumerateItems(std::shared_ptr<fp::EnumerationObserver> observer,
                        const fp::Page&) override {
      std::vector<fp::ItemPtr> items;
      {
        std::lock_guard lock(ext_.mu_);
        ++ext_.listings_[container_];
        if (container_ != fp::kWorkingSetContainer && !ext_.indexUnreadable_) {
          for (const auto& [id, e] : ext_.entries_) {
            if (e.parent == container_) items.push_back(ext_.itemLocked(id));
          }
        }
      }
      observer->didEnumerateItems(std::move(items));
      observer->finishEnumeratingUpToPage(std::nullopt);
    }
    void enumerateChanges(std::shared_ptr<fp::ChangeObserver> observer,
                          const fp::SyncAnchor& from) override {
      auto now = ext_.anchor();
      if (from == now) {
        observer->finishEnumeratingChangesUpToSyncAnchor(now, false);
      } else {
        observer->finishEnumeratingWithError(
            fp::Error::fileProvider(fp::FileProviderErrorCode::kSyncAnchorExpired));
      }
    }
    void currentSyncAnchor(std::function<void(std::optional<fp::SyncAnchor>)> done) override {
      done(ext_.anchor());
    }

   private:
    InMemoryExtension& ext_;
    fp::ItemIdentifier container_;
  };

  static std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fp::SyncAnchor anchor() const {
    std::lock_guard lock(mu_);
    return "test|" + std::to_string(dataVersion_);
  }

  void passGate(std::unique_lock<std::mutex>& lock, const std::string& op) {
    ++waiting_;
    cv_.wait(lock, [&] { return gate_ != op; });
    --waiting_;
  }

  void background(std::function<void()> work) {
    std::lock_guard lock(mu_);
    threads_.emplace_back(std::move(work));
  }

  std::optional<fp::Error> failureFor(const Call& call) const {
    return failure_ ? failure_(call) : std::nullopt;
  }

  fp::ItemIdentifier add(const fp::ItemIdentifier&, Entry e, const std::string& prefix) {
    std::lock_guard lock(mu_);
    return addLocked(std::move(e), prefix);
  }
  fp::ItemIdentifier addLocked(Entry e, const std::string& prefix) {
    char ulid[16];
    std::snprintf(ulid, sizeof ulid, "U%06d", ++serial_);
    fp::ItemIdentifier id = prefix + ulid;
    entries_[id] = std::move(e);
    ++dataVersion_;
    return id;
  }
  void removeLocked(const fp::ItemIdentifier& id) {
    std::vector<fp::ItemIdentifier> children;
    for (const auto& [cid, e] : entries_) {
      if (e.parent == id) children.push_back(cid);
    }
    for (const auto& c : children) removeLocked(c);
    entries_.erase(id);
    ++dataVersion_;
  }

  fp::ItemPtr itemFor(const fp::ItemIdentifier& id) const {
    std::lock_guard lock(mu_);
    return itemLocked(id);
  }
  fp::ItemPtr itemLocked(const fp::ItemIdentifier& id) const {
    if (id == fp::kRootContainer) {
      return std::make_shared<Item>(id, Entry{id, "Pellora Connect", true, {}, 0, false}, true);
    }
    auto it = entries_.find(id);
    if (it == entries_.end()) return nullptr;
    return std::make_shared<Item>(id, it->second, false);
  }
  // What the real extension answers when its index does not show an item yet:
  // the root's attributes under the item's identifier.
  static fp::ItemPtr bareItem(const fp::ItemIdentifier& id) {
    std::string root(fp::kRootContainer);
    return std::make_shared<Item>(id, Entry{root, "Pellora Connect", true, {}, 0, false}, true);
  }

  const std::filesystem::path fetchDir_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::map<fp::ItemIdentifier, Entry> entries_;
  std::int64_t dataVersion_ = 1;
  int serial_ = 0;
  int fetchSerial_ = 0;
  std::map<fp::ItemIdentifier, int> listings_;
  std::vector<Call> calls_;
  Failure failure_;
  bool answerWithoutEntry_ = false;
  bool indexUnreadable_ = false;
  std::string gate_;
  int waiting_ = 0;
  std::vector<std::thread> threads_;
};

}  // namespace fpctl::mount::testing

#endif  // FPCTL_MOUNT_IN_MEMORY_EXTENSION_FOR_TEST_H_
