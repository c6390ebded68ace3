#include "fileprovider/fpctl/mount/upload_queue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

#include "fileprovider/file_io.h"
#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/fpctl/mount/content_cache.h"
#include "fileprovider/fpctl/mount/unsent_folder.h"
#include "fileprovider/log.h"
#include "fileprovider/scoped_fd.h"

namespace fpctl::mount {
namespace fs = std::filesystem;
namespace {

// Pieces of this size are read at a time: small enough to stay below the
// allocator's mmap threshold and not to be cleared first, since most files
// copied are small.
constexpr std::size_t kPiece = std::size_t{64} << 10;

// FNV-1a over 64 bits: tells a whole copy from one that a crash cut short.
class Checksum {
 public:
  void add(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      value_ ^= static_cast<unsigned char>(data[i]);
      value_ *= 1099511628211ull;
    }
  }
  std::uint64_t value() const { return value_; }

 private:
  std::uint64_t value_ = 14695981039346656037ull;
};

// Copies all of the file at `source` into `destination` (from offset 0),
// summing what it copies into `sum` and counting it into `size`. Fails with
// errno.
[[nodiscard]] ErrnoOr<void> copyAndSum(const fs::path& source, int destination, std::uint64_t& sum,
                                       std::int64_t& size) {
  fp::ScopedFD in = openInCache(source, O_RDONLY);
  if (!in) return fp::fail(Errno{errno});
  Checksum checksum;
  auto buf = std::make_unique_for_overwrite<char[]>(kPiece);
  off_t at = 0;
  for (;;) {
    ssize_t n = fp::retryOnEintr([&] { return ::read(in.get(), buf.get(), kPiece); });
    if (n < 0) return fp::fail(Errno{errno});
    if (n == 0) break;
    checksum.add(buf.get(), static_cast<std::size_t>(n));
    for (ssize_t done = 0; done < n;) {
      ssize_t w = fp::retryOnEintr([&] {
        return ::pwrite(destination, buf.get() + done, static_cast<std::size_t>(n - done),
                        at + done);
      });
      if (w < 0) return fp::fail(Errno{errno});
      done += w;
    }
    at += n;
  }
  sum = checksum.value();
  size = at;
  return fp::Ok{};
}

// The checksum of the file at `path`, none when it cannot be read.
std::optional<std::uint64_t> checksumOf(const fs::path& path) {
  fp::ScopedFD in = openInCache(path, O_RDONLY);
  if (!in) return std::nullopt;
  Checksum checksum;
  auto buf = std::make_unique_for_overwrite<char[]>(kPiece);
  for (;;) {
    ssize_t n = fp::retryOnEintr([&] { return ::read(in.get(), buf.get(), kPiece); });
    if (n < 0) return std::nullopt;
    if (n == 0) return checksum.value();
    checksum.add(buf.get(), static_cast<std::size_t>(n));
  }
}

// Writes `text` as the whole of the new file `fd` (none: errno tells why it
// could not be made), not synced. Fails with errno.
[[nodiscard]] ErrnoOr<void> writeWhole(int fd, const std::string& text) {
  auto written = fp::writeAll(fd, text);
  if (written) return fp::Ok{};
  return fp::fail(Errno{written.error().code});
}

std::string slurp(const fs::path& path) { return readCacheFile(path).value_or(""); }

std::int64_t sizeOf(const fs::path& path) {
  std::error_code ec;
  auto n = fs::file_size(path, ec);
  return ec ? 0 : static_cast<std::int64_t>(n);
}

// The log of what the queue finds wrong with the entries an earlier run left.
fp::Log queueLog() { return fp::Log("fpctl", "Mount"); }

// Whether the newer entry `newer` makes the older `older` needless.
bool replaces(const QueuedChange& newer, const QueuedChange& older) {
  if (newer.key() != older.key()) return false;
  switch (newer.kind) {
    case ChangeKind::kState:
      return older.kind == ChangeKind::kState;
    case ChangeKind::kMove:
      return false;  // see UploadQueue::putEdit()
    case ChangeKind::kRemove:
      return older.kind == ChangeKind::kState;
    case ChangeKind::kMakeFolder:
      return false;
  }
  return false;
}

}  // namespace

ErrnoOr<void> syncPath(const fs::path& path, bool folder) {
  fp::ScopedFD fd = openInCache(path, folder ? O_RDONLY | O_DIRECTORY : O_RDONLY);
  if (!fd || ::fsync(fd.get()) != 0) return fp::fail(Errno{errno});
  return fp::Ok{};
}

ErrnoOr<void> writeDurably(const fs::path& path, const std::string& text) {
  auto replaced = fp::replaceDurably(path, text);
  if (replaced) return fp::Ok{};
  return fp::fail(Errno{replaced.error().code});
}

ErrnoOr<void> UploadQueue::bind(const fp::ItemIdentifier& local,
                                const fp::ItemIdentifier& identifier) {
  std::vector<QueuedChange> changed;
  {
    std::lock_guard lock(mu_);
    bound_[local] = identifier;
    for (auto& [seq, c] : entries_) {
      bool touched = false;
      if (c.parent == local) {
        c.parent = identifier;
        c.item.parent = identifier;
        touched = true;
      }
      if (c.identifier == local && c.kind != ChangeKind::kMakeFolder) {
        c.identifier = identifier;
        c.item.identifier = identifier;
        touched = true;
      }
      if (touched) changed.push_back(c);
    }
  }
  ErrnoOr<void> status;
  for (const auto& c : changed) {
    auto rewritten = rewriteRecord(c);
    if (!rewritten && status) status = std::move(rewritten);
  }
  return status;
}

void UploadQueue::refresh(const ItemState& fresh) {
  std::vector<QueuedChange> changed;
  {
    std::lock_guard lock(mu_);
    for (auto& [seq, c] : entries_) {
      if (c.kind != ChangeKind::kMove || c.identifier != fresh.identifier) continue;
      ItemState item = fresh;
      item.parent = c.item.parent;
      item.filename = c.item.filename;
      c.item = std::move(item);
      changed.push_back(c);
    }
  }
  // Not rewritten, a record keeps the older attributes: an earlier run's move
  // then shows the item at the version it had when it was moved.
  for (const auto& c : changed) (void)rewriteRecord(c);
}

ErrnoOr<void> UploadQueue::rewriteRecord(const QueuedChange& change) {
  const fs::path record = dir() / (std::to_string(change.seq) + ".json");
  auto written = writeDurably(record, recordOf(change).dump());
  // Sent or dropped while it was written: its record must not come back
  // (a state without its contents, or a change sent twice).
  bool gone = false;
  {
    std::lock_guard lock(mu_);
    gone = entries_.count(change.seq) == 0;
  }
  if (gone) {
    removeFile(record);
    return fp::Ok{};
  }
  return written;
}

fp::ItemIdentifier UploadQueue::resolve(const fp::ItemIdentifier& identifier) const {
  std::lock_guard lock(mu_);
  auto it = bound_.find(identifier);
  return it == bound_.end() ? identifier : it->second;
}

std::optional<QueuedChange> UploadQueue::entry(std::uint64_t seq) const {
  std::lock_guard lock(mu_);
  auto it = entries_.find(seq);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

bool UploadQueue::retarget(std::uint64_t seq, const fp::ItemIdentifier& parent,
                           const std::string& filename) {
  QueuedChange c;
  {
    std::lock_guard lock(mu_);
    auto it = entries_.find(seq);
    if (it == entries_.end() || held_.count(seq)) return false;
    // Made at its new place in its old turn, it must not end up below a folder
    // that a later entry moves into it or into what was made in it: the
    // service would be asked to move that folder into itself. Nor may a later
    // move of the folder itself take it back, nor may it take a name that a
    // later removal or move frees.
    std::set<fp::ItemIdentifier> below = {it->second.identifier};
    for (auto later = std::next(it); later != entries_.end(); ++later) {
      const QueuedChange& l = later->second;
      const bool frees =
          (l.kind == ChangeKind::kRemove && l.parent == parent && l.filename == filename) ||
          (l.kind == ChangeKind::kMove && l.fromParent == parent && l.fromFilename == filename);
      if (frees) return false;
      if (l.kind == ChangeKind::kMove && l.identifier == it->second.identifier) return false;
      if (!below.count(l.parent)) continue;
      if (l.kind == ChangeKind::kMove && l.item.isFolder) return false;
      if (l.kind == ChangeKind::kMakeFolder) below.insert(l.identifier);
    }
    it->second.parent = parent;
    it->second.filename = filename;
    it->second.item.parent = parent;
    it->second.item.filename = filename;
    c = it->second;
  }
  return rewriteRecord(c).ok();
}

std::optional<QueuedChange> UploadQueue::adopt(std::uint64_t seq,
                                               const fp::ItemIdentifier& identifier,
                                               const fp::ItemVersion& version) {
  QueuedChange c;
  {
    std::lock_guard lock(mu_);
    auto it = entries_.find(seq);
    if (it == entries_.end() || held_.count(seq) || it->second.isEdit() ||
        !it->second.identifier.empty()) {
      return std::nullopt;
    }
    it->second.identifier = identifier;
    it->second.local.clear();
    it->second.baseVersion = version;
    c = it->second;
  }
  if (!rewriteRecord(c)) return std::nullopt;
  return c;
}

ErrnoOr<std::unique_ptr<UploadQueue>> UploadQueue::open(const fs::path& cacheRoot, bool readOnly,
                                                        SpareFiles* spares) {
  std::unique_ptr<UploadQueue> q(new UploadQueue(cacheRoot, spares));
  std::error_code ec;
  if (!readOnly) {
    ec = createPrivateDirectories(q->dir());
    if (ec) return fp::fail(Errno{ec.value() ? ec.value() : EIO});
    ec = createPrivateDirectories(cacheRoot / "unsent");
  }
  Leftovers left;
  left.readOnly = readOnly;
  for (const auto& entry : fs::directory_iterator(q->dir(), ec)) {
    const fs::path& p = entry.path();
    if (q->isForeign(p, readOnly)) continue;
    if (p.extension() != ".json") {
      if (p.extension() != ".data") left.strays.push_back(p);  // an unfinished temporary file
      continue;
    }
    q->readRecord(p, left);
  }
  q->setAsideOrphans(left);
  if (!readOnly) {
    for (const auto& p : left.strays) fs::remove(p, ec);
  }
  for (const auto& [seq, c] : q->entries_) q->carried_.insert(seq);
  if (!readOnly) (void)q->adoptNewRecords();
  return q;
}

bool UploadQueue::isForeign(const fs::path& path, bool readOnly) const {
  if (isOwnRegularFile(path)) return false;
  if (!readOnly) {
    queueLog().error("%{public}@ is not a regular file of this user; it is not sent",
                     {path.string()});
  }
  return true;
}

bool UploadQueue::setAside(const std::string& entry, const fs::path& file, const std::string& name,
                           const std::string& why, bool readOnly) const {
  if (readOnly) return false;
  fs::path kept = keepUnsent(root_, file, name, why);
  if (kept.empty()) {
    queueLog().error(
        "queue entry %{public}@ could not be read (%{public}@); it stays in %{public}@",
        {entry, why, dir().string()});
    return false;
  }
  queueLog().error(
      "queue entry %{public}@ could not be read (%{public}@); it is kept in %{public}@",
      {entry, why, kept.string()});
  return true;
}

void UploadQueue::readRecord(const fs::path& record, Leftovers& left) {
  try {
    auto j = nlohmann::json::parse(slurp(record));
    QueuedChange c = changeFrom(j);
    if (!c.isEdit() && !readState(c, j, record, left)) return;
    nextSeq_ = std::max(nextSeq_, c.seq + 1);
    entries_[c.seq] = std::move(c);
  } catch (const std::exception&) {
    setAsideDamaged(record, left);
  }
}

bool UploadQueue::readState(QueuedChange& c, const nlohmann::json& j, const fs::path& record,
                            Leftovers& left) {
  c.data = dir() / (std::to_string(c.seq) + ".data");
  std::error_code missing;
  if (!fs::exists(fs::symlink_status(c.data, missing))) {
    if (!setAside(record.stem().string(), record, c.filename + ".record",
                  "its contents could not be read: " + c.data.filename().string() +
                      " is missing from the queue; only the record of this state of " + c.filename +
                      " is kept",
                  left.readOnly)) {
      left.held.insert(c.seq);
    }
    return false;
  }
  if (isForeign(c.data, left.readOnly)) {
    left.held.insert(c.seq);
    return false;
  }
  c.size = sizeOf(c.data);
  // Records of earlier versions carry no checksum; theirs were synced.
  if (!j.contains("checksum") || left.readOnly) return true;
  c.checksum = j.at("checksum").get<std::uint64_t>();
  if (c.size == j.at("size").get<std::int64_t>() && checksumOf(c.data) == c.checksum) return true;
  // Staged, not synced, and cut short by a crash of the system: its close
  // never returned, and what is left is kept, not sent.
  if (keepUnsent(root_, c.data, c.filename,
                 "incomplete: the system stopped while this state was being sent")
          .empty()) {
    left.held.insert(c.seq);  // could not be moved: left where it is, unsent
  } else {
    left.strays.push_back(record);
  }
  return false;
}

void UploadQueue::setAsideDamaged(const fs::path& record, Leftovers& left) {
  // The record is empty or damaged (a crash while it was written, not
  // synced): its contents, if any, are kept; the record goes once they are.
  if (left.readOnly) return;
  const std::string stem = record.stem().string();
  fs::path data = dir() / (stem + ".data");
  if (isOwnRegularFile(data)) {
    if (setAside(stem, data, "queue-entry-" + stem,
                 "the record of this state could not be read (empty or damaged: fpctl or "
                 "the system stopped while it was written); its contents were not sent and "
                 "may be incomplete",
                 left.readOnly)) {
      left.strays.push_back(record);
    }
  } else if (sizeOf(record) > 0) {
    setAside(stem, record, "queue-entry-" + stem + ".record",
             "the record of a state could not be read and its contents are missing", left.readOnly);
  } else {
    queueLog().error("queue entry %{public}@ could not be read (an empty record without contents)",
                     {stem});
    left.strays.push_back(record);
  }
}

void UploadQueue::setAsideOrphans(const Leftovers& left) {
  // Contents without a record: fpctl or the system stopped before the record
  // was written. They are kept, not sent.
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir(), ec)) {
    const fs::path& p = entry.path();
    if (p.extension() != ".data" || !isOwnRegularFile(p)) continue;
    std::uint64_t seq = 0;
    try {
      seq = std::stoull(p.stem().string());
    } catch (const std::exception&) {
    }
    if (entries_.count(seq) || left.held.count(seq)) continue;
    fs::path record = p;
    record.replace_extension(".json");
    if (fs::exists(fs::symlink_status(record, ec))) continue;  // another user's, or kept
    setAside(p.stem().string(), p, "queue-entry-" + p.stem().string(),
             "the record of this state could not be read (it is missing: fpctl or the system "
             "stopped before it was written); its contents were not sent and may be incomplete",
             left.readOnly);
  }
}

ErrnoOr<QueuedChange> UploadQueue::put(QueuedChange change, const fs::path& contents) {
  auto staged = stage(std::move(change), contents);
  if (!staged) return staged;
  if (auto durable = makeDurable(staged->seq); !durable) {
    erase(staged->seq);
    return fp::propagate(durable);
  }
  return staged;
}

ErrnoOr<QueuedChange> UploadQueue::stage(QueuedChange change, const fs::path& contents, bool held) {
  {
    std::lock_guard lock(mu_);
    change.seq = nextSeq_++;
    if (held) held_.insert(change.seq);
  }
  change.data = dir() / (std::to_string(change.seq) + ".data");
  fs::path record = dir() / (std::to_string(change.seq) + ".json");
  auto undo = [&](Errno e) {
    if (held) letGo(change.seq);
    removeFile(record);
    removeFile(change.data);
    return fp::fail(e);
  };
  {
    fp::ScopedFD fd = createFile(change.data, O_RDWR | O_CLOEXEC);
    if (!fd) return undo(Errno{errno});
    auto copied = copyAndSum(contents, fd.get(), change.checksum, change.size);
    if (!copied) return undo(copied.error());
    if (auto fitted = SpareFiles::fit(fd.get(), change.size); !fitted) return undo(fitted.error());
  }
  nlohmann::json j = recordOf(change);
  // A record cut short by the end of fpctl cannot be parsed: the entry was
  // never made, and its close never returned.
  fp::ScopedFD recordFd = createFile(record, O_WRONLY | O_CLOEXEC);
  if (!recordFd) return undo(Errno{errno});
  const std::string text = j.dump();
  if (auto written = writeWhole(recordFd.get(), text); !written) return undo(written.error());
  auto fitted = SpareFiles::fit(recordFd.get(), static_cast<off_t>(text.size()));
  if (!fitted) return undo(fitted.error());
  std::lock_guard lock(mu_);
  entries_[change.seq] = change;
  return change;
}

ErrnoOr<QueuedChange> UploadQueue::putEdit(QueuedChange change) {
  // An older move of the item is needless only when it is the entry just
  // before this one: a change queued between them may rely on the name it
  // frees or takes (a new file made where the item was).
  std::uint64_t previous = 0;
  {
    std::lock_guard lock(mu_);
    change.seq = nextSeq_++;
    auto it = entries_.find(change.seq - 1);
    if (change.kind != ChangeKind::kMakeFolder && it != entries_.end() &&
        it->second.kind == ChangeKind::kMove && it->second.key() == change.key() &&
        !held_.count(it->first)) {
      previous = it->first;
      // It makes the older move's changes too (a move to another folder,
      // then a rename there, still changes the folder).
      change.fields |= it->second.fields;
      // The item starts from where the older move found it.
      if (change.kind == ChangeKind::kMove) {
        change.fromParent = it->second.fromParent;
        change.fromFilename = it->second.fromFilename;
      }
    }
  }
  change.data.clear();
  // Written whole and synced through a temporary file: a crash leaves the
  // edit made or not made, never a damaged record.
  fs::path record = dir() / (std::to_string(change.seq) + ".json");
  if (auto written = writeDurably(record, recordOf(change).dump()); !written) {
    removeFile(record);
    return fp::propagate(written);
  }
  {
    std::lock_guard lock(mu_);
    entries_[change.seq] = change;
    if (previous && (held_.count(previous) || !entries_.erase(previous))) previous = 0;
    carried_.erase(previous);
  }
  if (previous) {
    removeFile(dir() / (std::to_string(previous) + ".json"));
    removeFile(dir() / (std::to_string(previous) + ".data"));
  }
  dropOlder(change);
  return change;
}

ErrnoOr<void> UploadQueue::makeDurable(std::uint64_t seq) {
  QueuedChange change;
  {
    std::lock_guard lock(mu_);
    auto it = entries_.find(seq);
    if (it == entries_.end()) return fp::Ok{};
    change = it->second;
  }
  auto gone = [&] {
    std::lock_guard lock(mu_);
    return entries_.count(seq) == 0;
  };
  for (const fs::path& file : {change.data, dir() / (std::to_string(seq) + ".json")}) {
    // Sent or dropped meanwhile: nothing of it needs to outlive a crash.
    if (auto synced = syncPath(file, false); !synced) {
      if (synced.error().value == ENOENT && gone()) return fp::Ok{};
      return synced;
    }
  }
  if (auto synced = syncPath(dir(), true); !synced) return synced;
  dropOlder(change);
  return fp::Ok{};
}

std::vector<QueuedChange> UploadQueue::pending() const {
  std::lock_guard lock(mu_);
  std::vector<QueuedChange> out;
  for (const auto& [seq, c] : entries_) out.push_back(c);
  return out;
}

bool UploadQueue::hasEdits() const {
  std::lock_guard lock(mu_);
  for (const auto& [seq, c] : entries_) {
    if (c.isEdit()) return true;
  }
  return false;
}

bool UploadQueue::hasEditOf(const fp::ItemIdentifier& identifier) const {
  std::lock_guard lock(mu_);
  for (const auto& [seq, c] : entries_) {
    if (c.isEdit() && c.identifier == identifier) return true;
  }
  return false;
}

bool UploadQueue::hasEditsOrEntryOf(const fp::ItemIdentifier& identifier) const {
  std::lock_guard lock(mu_);
  for (const auto& [seq, c] : entries_) {
    if (c.isEdit() || c.identifier == identifier) return true;
  }
  return false;
}

std::vector<QueuedChange> UploadQueue::carriedOver() const {
  std::lock_guard lock(mu_);
  std::vector<QueuedChange> out;
  for (auto seq : carried_) {
    if (auto it = entries_.find(seq); it != entries_.end()) out.push_back(it->second);
  }
  return out;
}

std::vector<QueuedChange> UploadQueue::pendingEdits() const {
  std::lock_guard lock(mu_);
  std::vector<QueuedChange> out;
  for (const auto& [seq, c] : entries_) {
    if (c.isEdit()) out.push_back(c);
  }
  return out;
}

bool UploadQueue::tryHold(std::uint64_t seq) {
  std::lock_guard lock(mu_);
  if (!entries_.count(seq)) return false;
  return held_.insert(seq).second;
}

void UploadQueue::letGo(std::uint64_t seq) {
  std::lock_guard lock(mu_);
  held_.erase(seq);
}

bool UploadQueue::contains(std::uint64_t seq) const {
  std::lock_guard lock(mu_);
  return entries_.count(seq) > 0;
}

std::vector<std::uint64_t> UploadQueue::creationsOf(const std::string& local) const {
  std::vector<std::uint64_t> seqs;
  std::lock_guard lock(mu_);
  for (const auto& [seq, c] : entries_) {
    if (!c.isEdit() && c.identifier.empty() && c.local == local) seqs.push_back(seq);
  }
  return seqs;
}

void UploadQueue::remove(std::uint64_t seq) {
  QueuedChange change;
  {
    std::lock_guard lock(mu_);
    auto it = entries_.find(seq);
    if (it == entries_.end()) return;
    change = it->second;
  }
  erase(seq);
  dropOlder(change);
}

void UploadQueue::erase(std::uint64_t seq) {
  {
    std::lock_guard lock(mu_);
    carried_.erase(seq);
    if (!entries_.erase(seq)) return;
  }
  // The record goes first: without it, the contents are a stray.
  removeFile(dir() / (std::to_string(seq) + ".json"));
  removeFile(dir() / (std::to_string(seq) + ".data"));
}

fp::ScopedFD UploadQueue::createFile(const fs::path& path, int flags) {
  if (spares_) return spares_->create(path, flags);
  return openInCache(path, flags | O_CREAT | O_TRUNC);
}

void UploadQueue::removeFile(const fs::path& path) {
  if (spares_) {
    spares_->remove(path);
    return;
  }
  std::error_code ec;
  fs::remove(path, ec);
}

void UploadQueue::dropOlder(const QueuedChange& change) {
  std::vector<std::uint64_t> older;
  {
    std::lock_guard lock(mu_);
    for (auto it = entries_.begin(); it != entries_.end();) {
      // One being sent stays: this newer state follows it.
      if (it->first < change.seq && replaces(change, it->second) && !held_.count(it->first)) {
        older.push_back(it->first);
        it = entries_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto seq : older) {
    removeFile(dir() / (std::to_string(seq) + ".json"));
    removeFile(dir() / (std::to_string(seq) + ".data"));
  }
}

}  // namespace fpctl::mount
