#include "fileprovider/fpctl/mount/upload_queue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "fileprovider/fpctl/mount/content_cache.h"
#include "fileprovider/fpctl/mount/hex_text.h"
#include "fileprovider/scoped_fd.h"

namespace fpctl::mount {
namespace fs = std::filesystem;
namespace {

// The bytes a record field holds as hex; a damaged field makes the record unreadable.
std::string bytesOf(const nlohmann::json& field) {
  auto bytes = bytesOfHex(field.get<std::string>());
  if (!bytes) throw std::runtime_error("not hex");
  return std::move(*bytes);
}

int syncPath(const fs::path& path, bool folder) {
  fp::ScopedFD fd(fp::retryOnEintr([&] {
    return ::open(path.c_str(), (folder ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
  }));
  if (!fd) return errno;
  if (::fsync(fd.get()) != 0) return errno;
  return 0;
}

std::string safeName(const std::string& name) {
  std::string safe;
  for (char c : name) safe += (c == '/' || c == '\0') ? '_' : c;
  if (safe.size() > 200) safe.resize(200);
  return safe;
}

std::string uniqueStamp() {
  static std::atomic<unsigned> counter{0};
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()) + "-" +
         std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::int64_t sizeOf(const fs::path& path) {
  std::error_code ec;
  auto n = fs::file_size(path, ec);
  return ec ? 0 : static_cast<std::int64_t>(n);
}

}  // namespace

int writeDurably(const fs::path& path, const std::string& text) {
  fs::path tmp = path;
  tmp += ".tmp";
  {
    fp::ScopedFD fd(fp::retryOnEintr(
        [&] { return ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600); }));
    if (!fd) return errno;
    std::size_t done = 0;
    while (done < text.size()) {
      ssize_t n = fp::retryOnEintr(
          [&] { return ::write(fd.get(), text.data() + done, text.size() - done); });
      if (n < 0) {
        int e = errno;
        std::error_code ec;
        fs::remove(tmp, ec);
        return e;
      }
      done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0) {
      int e = errno;
      std::error_code ec;
      fs::remove(tmp, ec);
      return e;
    }
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    int e = errno;
    std::error_code ec;
    fs::remove(tmp, ec);
    return e;
  }
  return syncPath(path.parent_path(), true);
}

std::string QueuedChange::key() const {
  if (!identifier.empty()) return "id:" + identifier;
  return "new:" + parent + '\0' + filename;
}

ErrnoOr<std::unique_ptr<UploadQueue>> UploadQueue::open(const fs::path& cacheRoot, bool readOnly) {
  std::unique_ptr<UploadQueue> q(new UploadQueue(cacheRoot));
  std::error_code ec;
  if (!readOnly) {
    fs::create_directories(q->dir(), ec);
    if (ec) return fp::fail(Errno{ec.value() ? ec.value() : EIO});
    fs::create_directories(cacheRoot / "unsent", ec);
  }
  std::vector<fs::path> strays;
  for (const auto& entry : fs::directory_iterator(q->dir(), ec)) {
    const fs::path& p = entry.path();
    if (p.extension() != ".json") {
      if (p.extension() != ".data") strays.push_back(p);  // an unfinished temporary file
      continue;
    }
    try {
      auto j = nlohmann::json::parse(slurp(p));
      QueuedChange c;
      c.seq = j.at("seq").get<std::uint64_t>();
      c.identifier = bytesOf(j.at("identifier"));
      c.parent = bytesOf(j.at("parent"));
      c.filename = bytesOf(j.at("filename"));
      c.baseVersion.contentVersion = bytesOf(j.at("contentVersion"));
      c.baseVersion.metadataVersion = bytesOf(j.at("metadataVersion"));
      c.data = q->dir() / (std::to_string(c.seq) + ".data");
      if (!fs::is_regular_file(c.data, ec)) {
        strays.push_back(p);
        continue;
      }
      c.size = sizeOf(c.data);
      q->nextSeq_ = std::max(q->nextSeq_, c.seq + 1);
      q->entries_[c.seq] = std::move(c);
    } catch (const std::exception&) {
      strays.push_back(p);  // a record that was never finished
    }
  }
  // Contents without a record belong to an entry that was never made.
  for (const auto& entry : fs::directory_iterator(q->dir(), ec)) {
    const fs::path& p = entry.path();
    if (p.extension() != ".data") continue;
    std::uint64_t seq = 0;
    try {
      seq = std::stoull(p.stem().string());
    } catch (const std::exception&) {
    }
    if (!q->entries_.count(seq)) strays.push_back(p);
  }
  if (!readOnly) {
    for (const auto& p : strays) fs::remove(p, ec);
  }
  return q;
}

ErrnoOr<QueuedChange> UploadQueue::put(QueuedChange change, const fs::path& contents) {
  {
    std::lock_guard lock(mu_);
    change.seq = nextSeq_++;
  }
  change.data = dir() / (std::to_string(change.seq) + ".data");
  fs::path record = dir() / (std::to_string(change.seq) + ".json");
  auto undo = [&](int e) {
    std::error_code ec;
    fs::remove(change.data, ec);
    return fp::fail(Errno{e});
  };
  {
    fp::ScopedFD fd(fp::retryOnEintr(
        [&] { return ::open(change.data.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600); }));
    if (!fd) return fp::fail(Errno{errno});
    if (int e = copyFileInto(contents, fd.get())) return undo(e);
    if (::fsync(fd.get()) != 0) return undo(errno);
  }
  change.size = sizeOf(change.data);
  nlohmann::json j = {{"seq", change.seq},
                      {"identifier", hexOf(change.identifier)},
                      {"parent", hexOf(change.parent)},
                      {"filename", hexOf(change.filename)},
                      {"contentVersion", hexOf(change.baseVersion.contentVersion)},
                      {"metadataVersion", hexOf(change.baseVersion.metadataVersion)}};
  if (int e = writeDurably(record, j.dump())) return undo(e);

  std::vector<std::uint64_t> superseded;
  {
    std::lock_guard lock(mu_);
    for (const auto& [seq, old] : entries_) {
      if (old.key() == change.key()) superseded.push_back(seq);
    }
    entries_[change.seq] = change;
  }
  for (auto seq : superseded) remove(seq);
  return change;
}

std::vector<QueuedChange> UploadQueue::pending() const {
  std::lock_guard lock(mu_);
  std::vector<QueuedChange> out;
  for (const auto& [seq, c] : entries_) out.push_back(c);
  return out;
}

bool UploadQueue::contains(std::uint64_t seq) const {
  std::lock_guard lock(mu_);
  return entries_.count(seq) > 0;
}

void UploadQueue::remove(std::uint64_t seq) {
  {
    std::lock_guard lock(mu_);
    if (!entries_.erase(seq)) return;
  }
  std::error_code ec;
  // The record goes first: without it, the contents are a stray.
  fs::remove(dir() / (std::to_string(seq) + ".json"), ec);
  fs::remove(dir() / (std::to_string(seq) + ".data"), ec);
}

fs::path UploadQueue::refuse(std::uint64_t seq, const std::string& reason) {
  QueuedChange c;
  {
    std::lock_guard lock(mu_);
    auto it = entries_.find(seq);
    if (it == entries_.end()) return {};
    c = it->second;
  }
  fs::path kept = keepUnsent(root_, c.data, c.filename, reason);
  if (kept.empty()) return {};
  remove(seq);
  return kept;
}

fs::path keepUnsent(const fs::path& cacheRoot, const fs::path& file, const std::string& name,
                    const std::string& reason) {
  fs::path target = cacheRoot / "unsent" / (uniqueStamp() + "-" + safeName(name));
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  fs::rename(file, target, ec);
  if (ec) {
    fs::copy_file(file, target, ec);
    if (ec) return {};
  }
  fs::path why = target;
  why += ".reason";
  if (writeDurably(why, reason + "\n") != 0) {
    // The contents are kept; only the reason is missing.
  }
  return target;
}

CacheReport readCache(const fs::path& cacheRoot) {
  CacheReport r;
  std::error_code ec;
  if (auto q = UploadQueue::open(cacheRoot, /*readOnly=*/true)) {
    for (const auto& c : (*q)->pending()) r.waiting.push_back({c.filename, c.identifier, c.size});
  }
  std::vector<fs::path> unsent;
  for (const auto& e : fs::directory_iterator(cacheRoot / "unsent", ec)) {
    if (e.path().extension() != ".reason") unsent.push_back(e.path());
  }
  std::sort(unsent.begin(), unsent.end());
  for (const auto& p : unsent) {
    fs::path why = p;
    why += ".reason";
    std::string reason = slurp(why);
    while (!reason.empty() && reason.back() == '\n') reason.pop_back();
    if (reason.empty()) reason = "could not be sent";
    r.refused.push_back({p, reason, sizeOf(p)});
  }
  for (auto it = fs::recursive_directory_iterator(cacheRoot, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    // Space taken on disk, as the cache's bound counts its copies.
    struct stat st {};
    if (it->is_regular_file(ec) && ::lstat(it->path().c_str(), &st) == 0)
      r.bytes += static_cast<std::int64_t>(st.st_blocks) * 512;
  }
  return r;
}

}  // namespace fpctl::mount
