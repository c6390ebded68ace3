// For fpctl's and the mount's tests: a replicated extension over an in-memory
// tree, with an index "data version" that every change bumps (the anchor), a
// record of the requests it got, and ways to make requests fail, wait, page or
// answer fixed values. Content fetches and changes complete on threads of their
// own, as the real extension's do. Thumbnails: a PNG signature for every file.
#ifndef FPCTL_REQUESTS_IN_MEMORY_EXTENSION_FOR_TEST_H_
#define FPCTL_REQUESTS_IN_MEMORY_EXTENSION_FOR_TEST_H_

#include <algorithm>
#include <chrono>
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
#include "fileprovider/fpctl/requests/template_item.h"
#include "fileprovider/src/test_support.h"

namespace fpctl::mount::testing {

// The root container's identifier, as the tests' items name their parent.
inline const std::string kRoot(fp::kRootContainer);

// An item with fixed attributes, for InMemoryExtension::add: a file has a
// modification date, `contentVersion` is its content version and the metadata
// version is "<contentVersion>-<name>".
inline fp::ItemPtr makeItem(std::string id, std::string parent, std::string name, bool folder,
                            std::optional<std::int64_t> size = std::nullopt,
                            std::string contentVersion = "1") {
  TemplateItem::Values v;
  v.identifier = std::move(id);
  v.parent = std::move(parent);
  v.filename = name;
  v.contentType = folder ? fp::UTType::folder() : fp::UTType::data();
  v.capabilities = 47;
  v.documentSize = size;
  if (!folder) v.contentModificationDate = 1714558920;
  v.isUploaded = true;
  v.isDownloaded = false;
  v.version = {contentVersion, contentVersion + "-" + name};
  return std::make_shared<TemplateItem>(std::move(v));
}

class InMemoryExtension : public fp::ReplicatedExtension, public fp::Thumbnailing {
 public:
  struct Entry {
    fp::ItemIdentifier parent;
    std::string name;
    bool folder = false;
    std::string data;
    std::int64_t version = 1;
    bool locked = false;
    // Answered as is while set (see add(fp::ItemPtr)); a modification clears it.
    fp::ItemPtr fixed = nullptr;
  };
  struct Call {
    std::string op;  // "create", "modify", "delete", "fetch"
    fp::ItemIdentifier identifier;
    std::string filename;
    fp::ItemIdentifier parent;
    fp::ItemFields fields = 0;
    bool folder = false;
    std::optional<std::string> contents;
    std::optional<std::filesystem::path> contentsPath = std::nullopt;  // the file it named
    std::optional<fp::UTType> contentType = std::nullopt;              // of a creation
    fp::ItemVersion baseVersion = {};  // the version a modification or deletion starts from
  };
  // Decides whether a request fails: gets the call about to be made.
  using Failure = std::function<std::optional<fp::Error>(const Call&)>;

  // Fetched contents are written into `fetchDir` (unless setFetchedFile).
  explicit InMemoryExtension(std::filesystem::path fetchDir) : fetchDir_(std::move(fetchDir)) {
    std::filesystem::create_directories(fetchDir_);
  }
  // Without a folder for fetched contents: fetches answer setFetchedFile's file.
  InMemoryExtension() = default;
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
  // Adds `item` under its own identifier and parent, answered as it is.
  void add(fp::ItemPtr item) {
    bool folder = item->contentType() && *item->contentType() == fp::UTType::folder();
    std::lock_guard lock(mu_);
    entries_[item->itemIdentifier()] =
        Entry{item->parentItemIdentifier(), item->filename(), folder, {}, 1, false, item};
    ++dataVersion_;
  }
  void hostWrite(const fp::ItemIdentifier& id, const std::string& data) {
    std::lock_guard lock(mu_);
    entries_.at(id).data = data;
    ++entries_.at(id).version;
    ++dataVersion_;
  }
  void hostMove(const fp::ItemIdentifier& id, const fp::ItemIdentifier& parent,
                const std::string& name) {
    std::lock_guard lock(mu_);
    entries_.at(id).parent = parent;
    entries_.at(id).name = name;
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
  // Creations and moves to a name another item of the folder has are refused,
  // as the service refuses them.
  void setRefuseTakenNames(bool on) {
    std::lock_guard lock(mu_);
    refuseTakenNames_ = on;
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
  // Requests of kind `op` ("fetch", "create", ...; "list": a listing, once it
  // is read; "answer create": a creation made, before it is answered) wait
  // until openGate().
  // (Requests waiting at another gate go on.)
  void closeGate(const std::string& op) {
    std::lock_guard lock(mu_);
    gate_ = op;
    cv_.notify_all();
  }
  void openGate() {
    std::lock_guard lock(mu_);
    gate_.clear();
    cv_.notify_all();
  }
  // Listings hand out pages of this many items (0: all at once); a page is the
  // index of its first item.
  void setPageSize(std::size_t n) {
    std::lock_guard lock(mu_);
    pageSize_ = n;
  }
  // A fixed anchor instead of one that follows the data version.
  void setAnchor(fp::SyncAnchor a) {
    std::lock_guard lock(mu_);
    fixedAnchor_ = std::move(a);
  }
  // Requests that complete in the background wait this long first.
  void setDelay(std::chrono::milliseconds d) {
    std::lock_guard lock(mu_);
    delay_ = d;
  }
  // Fetches answer this file, as it is, instead of writing one.
  void setFetchedFile(std::filesystem::path p) {
    std::lock_guard lock(mu_);
    fetchedFile_ = std::move(p);
  }
  // How many requests wait at the gate now.
  int waiting() const {
    std::lock_guard lock(mu_);
    return waiting_;
  }
  // Requests waiting at the gate `op`.
  int waitingAt(const std::string& op) const {
    std::lock_guard lock(mu_);
    auto it = waitingAt_.find(op);
    return it == waitingAt_.end() ? 0 : it->second;
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
      Call call{"fetch", identifier,   {},           {},           0,
                false,   std::nullopt, std::nullopt, std::nullopt, {}};
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
      auto path = fetchedFile_;
      if (path.empty()) {
        path = fetchDir_ / ("fetched-" + std::to_string(++fetchSerial_));
        std::ofstream(path, std::ios::binary) << it->second.data;
      }
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
              contents && !folder ? std::optional(fp::testing::readFile(*contents)) : std::nullopt,
              contents,
              t.contentType(),
              {}};
    background([this, call, done] {
      std::unique_lock lock(mu_);
      passGate(lock, call.op);
      calls_.push_back(call);
      if (auto e = failureFor(call)) {
        return refuse(lock, done, *e);
      }
      fp::ItemIdentifier parent =
          entries_.count(call.parent) ? call.parent : std::string(fp::kRootContainer);
      if (takenLocked(parent, call.filename, {})) {
        return refuse(lock, done, fp::Error::cocoa(fp::kFileWriteFileExistsError));
      }
      Entry e{parent, call.filename, call.folder, call.contents.value_or(""), call.folder ? 0 : 1,
              false};
      auto id = addLocked(e, call.folder ? "f:" : "i:");
      auto item = answerWithoutEntry_ ? bareItem(id) : itemLocked(id);
      passGate(lock, "answer create");  // made, not answered yet
      lock.unlock();
      done(item, 0, false, std::nullopt);
    });
    return fp::makeProgress(1);
  }

  fp::ProgressPtr modifyItem(const fp::Item& item, const fp::ItemVersion& base,
                             fp::ItemFields fields,
                             const std::optional<std::filesystem::path>& contents,
                             fp::ModifyItemOptions, const fp::Request&,
                             fp::ItemChangeHandler done) override {
    Call call{"modify",
              item.itemIdentifier(),
              item.filename(),
              item.parentItemIdentifier(),
              fields,
              false,
              (fields & fp::field::kContents) && contents
                  ? std::optional(fp::testing::readFile(*contents))
                  : std::nullopt,
              contents,
              item.contentType(),
              base};
    background([this, call, done] {
      std::unique_lock lock(mu_);
      passGate(lock, call.op);
      calls_.push_back(call);
      if (auto e = failureFor(call)) {
        return refuse(lock, done, *e);
      }
      auto it = entries_.find(call.identifier);
      if (it == entries_.end()) {
        return refuse(lock, done, fp::Error::fileProvider(fp::FileProviderErrorCode::kNoSuchItem));
      }
      const auto& movedTo =
          call.fields & fp::field::kParentItemIdentifier ? call.parent : it->second.parent;
      if ((call.fields & (fp::field::kFilename | fp::field::kParentItemIdentifier)) &&
          takenLocked(movedTo, call.fields & fp::field::kFilename ? call.filename : it->second.name,
                      call.identifier)) {
        return refuse(lock, done, fp::Error::cocoa(fp::kFileWriteFileExistsError));
      }
      it->second.fixed = nullptr;
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

  fp::ProgressPtr deleteItem(const fp::ItemIdentifier& identifier, const fp::ItemVersion& base,
                             fp::DeleteItemOptions, const fp::Request&,
                             fp::ErrorHandler done) override {
    background([this, identifier, base, done] {
      std::unique_lock lock(mu_);
      Call call{"delete", identifier,   {},           {},           0,
                false,    std::nullopt, std::nullopt, std::nullopt, base};
      passGate(lock, call.op);
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

  fp::ProgressPtr fetchThumbnails(const std::vector<fp::ItemIdentifier>& ids, fp::Size,
                                  fp::PerThumbnailHandler perThumbnail,
                                  fp::ErrorHandler completion) override {
    auto progress = fp::makeProgress(static_cast<std::int64_t>(ids.size()));
    background([this, ids, progress, perThumbnail, completion] {
      for (const auto& id : ids) {
        auto e = entry(id);
        if (e && !e->folder)
          perThumbnail(id, std::string("\x89PNG\r\n\x1a\nxx", 10), std::nullopt);
        else
          perThumbnail(id, std::nullopt, std::nullopt);
        progress->addCompletedUnitCount(1);
      }
      completion(std::nullopt);
    });
    return progress;
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
                        const fp::Page& page) override {
      std::vector<fp::ItemPtr> items;
      std::size_t pageSize = 0;
      {
        std::unique_lock lock(ext_.mu_);
        ++ext_.listings_[container_];
        pageSize = ext_.pageSize_;
        if (container_ != fp::kWorkingSetContainer && !ext_.indexUnreadable_) {
          for (const auto& [id, e] : ext_.entries_) {
            if (e.parent == container_) items.push_back(ext_.itemLocked(id));
          }
        }
        ext_.passGate(lock, "list");  // what was read stays as it was then
      }
      std::size_t start = 0;
      if (page != fp::kInitialPageSortedByName && page != fp::kInitialPageSortedByDate)
        start = std::min<std::size_t>(std::stoul(page), items.size());
      std::size_t end = pageSize ? std::min(items.size(), start + pageSize) : items.size();
      observer->didEnumerateItems({items.begin() + static_cast<std::ptrdiff_t>(start),
                                   items.begin() + static_cast<std::ptrdiff_t>(end)});
      observer->finishEnumeratingUpToPage(end < items.size() ? std::optional(std::to_string(end))
                                                             : std::nullopt);
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

  fp::SyncAnchor anchor() const {
    std::lock_guard lock(mu_);
    if (fixedAnchor_) return *fixedAnchor_;
    return "test|" + std::to_string(dataVersion_);
  }

  // Answers a creation or modification with `error`, once the lock is let go.
  static void refuse(std::unique_lock<std::mutex>& lock, const fp::ItemChangeHandler& done,
                     const fp::Error& error) {
    lock.unlock();
    done(nullptr, 0, false, error);
  }

  bool takenLocked(const fp::ItemIdentifier& parent, const std::string& name,
                   const fp::ItemIdentifier& self) const {
    if (!refuseTakenNames_) return false;
    for (const auto& [id, e] : entries_) {
      if (id != self && e.parent == parent && e.name == name) return true;
    }
    return false;
  }

  void passGate(std::unique_lock<std::mutex>& lock, const std::string& op) {
    ++waiting_;
    ++waitingAt_[op];
    cv_.wait(lock, [&] { return gate_ != op; });
    --waitingAt_[op];
    --waiting_;
  }

  void background(std::function<void()> work) {
    std::lock_guard lock(mu_);
    threads_.emplace_back([work = std::move(work), delay = delay_] {
      std::this_thread::sleep_for(delay);
      work();
    });
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
    if (it->second.fixed) return it->second.fixed;
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
  bool refuseTakenNames_ = false;
  bool indexUnreadable_ = false;
  std::string gate_;
  int waiting_ = 0;
  std::map<std::string, int> waitingAt_;  // waiting_, by gate
  std::size_t pageSize_ = 0;
  std::optional<fp::SyncAnchor> fixedAnchor_;
  std::chrono::milliseconds delay_{0};
  std::filesystem::path fetchedFile_;
  std::vector<std::thread> threads_;
};

}  // namespace fpctl::mount::testing

#endif  // FPCTL_REQUESTS_IN_MEMORY_EXTENSION_FOR_TEST_H_
