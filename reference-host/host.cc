#include "reference-host/host.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "reference-host/png_writer.h"
#include "reference-host/ulid.h"

namespace refhost {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

json success() { return json{{"ok", true}}; }

json failure(std::string_view kind, std::string message) {
  return json{{"ok", false}, {"kind", kind}, {"error", std::move(message)}};
}

// A failure that names no kind: the request itself is wrong, or the host failed.
json failure(std::string message) { return json{{"ok", false}, {"error", std::move(message)}}; }

json badRequest(std::string_view key, std::string_view wanted) {
  return failure("bad request: \"" + std::string(key) + "\" must be " + std::string(wanted));
}

std::string inQuotes(std::string_view text) {
  return json(std::string(text)).dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<std::string> stringField(const json& request, const char* key) {
  auto it = request.find(key);
  if (it == request.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<bool> boolField(const json& request, const char* key) {
  auto it = request.find(key);
  if (it == request.end() || !it->is_boolean()) return std::nullopt;
  return it->get<bool>();
}

// A failed change of the store as a reply: the errno value decides the kind.
json storeFailure(const fp::Error& error, std::string_view target) {
  switch (error.code) {
    case ENOENT:
    case ENOTDIR:
      return failure("not_found", error.message);
    case EEXIST:
    case ENOTEMPTY:
      return failure("invalid_name",
                     "an item named " + inQuotes(baseName(target)) + " already exists there");
    case ENAMETOOLONG:
      return failure("invalid_name", "the name " + inQuotes(baseName(target)) + " is too long");
    case ENOSPC:
      return failure("disk_full", error.message);
    case EDQUOT:
      return failure("quota", error.message);
    default:
      return failure(error.message);
  }
}

json checkName(std::string_view parentPath, std::string_view name) {
  if (!isValidName(name)) return failure("invalid_name", "invalid name " + inQuotes(name));
  if (parentPath.empty() && name == kMetaFolderName) {
    return failure("invalid_name", "the name " + inQuotes(name) + " is reserved");
  }
  return nullptr;
}

}  // namespace

StagedCopy::~StagedCopy() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

json Host::takeStaged(const json& request, std::optional<StagedCopy>& staged) const {
  if (!request.contains("path")) return nullptr;
  auto path = stringField(request, "path");
  if (!path) return badRequest("path", "a string");
  // Only a file in the staging folder is taken over: anything else would let
  // a peer move arbitrary files of this user into the store.
  fs::path p(*path);
  std::error_code ec1, ec2;
  if (!p.is_absolute() || !p.has_filename() ||
      fs::weakly_canonical(p.parent_path(), ec1) != fs::weakly_canonical(uploadFolder_, ec2) ||
      ec1 || ec2) {
    return failure("contents must be staged in " + uploadFolder_.string() + ", not " + *path);
  }
  struct stat st {};
  if (::lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return failure("no staged file at " + *path);
  }
  staged.emplace(p);
  return nullptr;
}

fp::StatusOr<std::unique_ptr<Host>> Host::open(HostConfig config, LineLog log) {
  Store store(config.store);
  if (auto s = store.prepare(); !s) return fp::fail(s.error());

  fs::path lockPath = config.container / std::string(kLockFileName);
  fp::ScopedFD lock(fp::retryOnEintr(
      [&] { return ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644); }));
  if (!lock) return fp::fail(fp::Error::posix(errno, "opening " + lockPath.string()));
  if (fp::retryOnEintr([&] { return ::flock(lock.get(), LOCK_EX | LOCK_NB); }) != 0) {
    if (errno == EWOULDBLOCK) {
      return fp::fail(fp::Error::posix(
          EBUSY, "another pell-refhost already serves " + config.container.string()));
    }
    return fp::fail(fp::Error::posix(errno, "locking " + lockPath.string()));
  }

  std::error_code ec;
  fs::path cache = config.container / std::string(kCacheFolderName);
  fs::remove_all(cache, ec);
  fs::create_directories(cache, ec);
  if (ec) return fp::fail(fp::Error::posix(ec.value(), "creating " + cache.string()));
  fs::path uploads = config.container / std::string(kUploadFolderName);
  fs::create_directories(uploads, ec);
  if (ec) return fp::fail(fp::Error::posix(ec.value(), "creating " + uploads.string()));

  auto index = IndexWriter::open(config.container / databaseName(config.account));
  if (!index) return fp::fail(index.error());
  auto contents = index->load();
  if (!contents) return fp::fail(contents.error());

  std::unique_ptr<Host> host(
      new Host(std::move(config), std::move(log), std::move(*index), std::move(lock)));
  host->catalog_ = std::move(contents->catalog);
  host->strays_ = std::move(contents->strays);
  if (auto synced = host->rescan(); !synced) return fp::fail(synced.error());
  return host;
}

Host::Host(HostConfig config, LineLog log, IndexWriter index, fp::ScopedFD lock)
    : config_(std::move(config)),
      log_(std::move(log)),
      store_(config_.store),
      cacheFolder_(config_.container / std::string(kCacheFolderName)),
      uploadFolder_(config_.container / std::string(kUploadFolderName)),
      hostLock_(std::move(lock)),
      index_(std::move(index)) {}

fp::StatusOr<bool> Host::rescan() {
  std::lock_guard lock(mutex_);
  return syncLocked({});
}

fp::StatusOr<bool> Host::syncLocked(const Hints& hints) {
  auto observed = store_.scan();
  if (!observed) {
    if (observed.error().message != lastProblem_) {
      lastProblem_ = observed.error().message;
      log_("cannot scan the store: " + lastProblem_);
    }
    return fp::fail(observed.error());
  }
  if (auto locks = store_.readLocks(); locks) {
    locks_ = std::move(*locks);
    lastProblem_.clear();
  } else if (locks.error().message != lastProblem_) {
    // A lock file in the middle of being edited: keep the locks we had.
    lastProblem_ = locks.error().message;
    log_("keeping the previous locks: " + lastProblem_);
  }

  Catalog next = reconcile(catalog_, *observed, locks_, hints, [] { return newUlid(); });
  Changes changes = diff(catalog_, next);
  changes.removals.insert(changes.removals.end(), strays_.begin(), strays_.end());
  if (changes.empty()) return false;
  if (auto s = index_.apply(changes); !s) {
    log_("cannot update the index: " + s.error().message);
    return fp::fail(s.error());
  }
  log_("index updated: " + std::to_string(changes.upserts.size()) + " written, " +
       std::to_string(changes.removals.size()) + " removed");
  catalog_ = std::move(next);
  strays_.clear();
  return true;
}

json Host::handle(const json& request) {
  if (!request.is_object()) return failure("bad request: not a JSON object");
  auto op = stringField(request, "op");
  if (!op) return badRequest("op", "a string");
  if (*op != "fetch" && *op != "thumbnail" && *op != "create" && *op != "modify" &&
      *op != "delete") {
    return failure("unknown operation " + inQuotes(*op));
  }
  auto account = stringField(request, "account");
  if (!account) return badRequest("account", "a string");
  if (*account != config_.account) {
    return failure("unauthorized", "this host serves the account " + inQuotes(config_.account) +
                                       ", not " + inQuotes(*account));
  }
  if (*op == "fetch") return fetch(request);
  if (*op == "thumbnail") return thumbnail(request);
  if (*op == "create") return create(request);
  if (*op == "modify") return modify(request);
  return remove(request);
}

fp::Result<Entry, json> Host::currentEntryLocked(const std::string& ulid, bool isFolder) {
  (void)syncLocked({});
  const Entry* found = findByUlid(catalog_, ulid, isFolder);
  if (!found) {
    return fp::fail(failure("not_found", std::string(isFolder ? "no folder" : "no file") +
                                             " with ulid " + inQuotes(ulid)));
  }
  return *found;
}

fp::Result<Host::OpenedFile, json> Host::openRequestedFile(const json& request) {
  auto ulid = stringField(request, "ulid");
  if (!ulid) return fp::fail(badRequest("ulid", "a string"));
  std::lock_guard lock(mutex_);
  auto entry = currentEntryLocked(*ulid, false);
  if (!entry.ok()) return fp::propagate(entry);
  auto opened = store_.openFile(entry->path);
  if (!opened) return fp::fail(storeFailure(opened.error(), entry->path));
  return OpenedFile{std::move(*opened), std::move(*entry)};
}

json Host::fetch(const json& request) {
  auto file = openRequestedFile(request);
  if (!file.ok()) return std::move(file).error();
  const fs::path copy =
      cacheFolder_ / (file->entry.ulid + "-" + std::to_string(file->entry.version));
  if (auto s = copyToNewFile(file->fd.get(), copy); !s) return failure(s.error().message);
  return json{{"ok", true}, {"path", copy.string()}};
}

json Host::thumbnail(const json& request) {
  auto file = openRequestedFile(request);
  if (!file.ok()) return std::move(file).error();
  const int fd = file->fd.get();
  const std::string& name = file->entry.name;
  const fs::path thumb = cacheFolder_ / (file->entry.ulid + "-" +
                                         std::to_string(file->entry.version) + "-thumbnail.png");
  char head[16];
  ssize_t n = fp::retryOnEintr([&] { return ::pread(fd, head, sizeof head, 0); });
  std::string_view magic(head, n > 0 ? static_cast<std::size_t>(n) : 0);
  if (!looksLikeImage(magic)) {
    return failure("not_found", "no thumbnail for " + inQuotes(name) + ": not an image");
  }
  // A PNG serves as its own thumbnail; for other formats, which this host
  // cannot decode, a small picture stands in.
  fp::Status s = looksLikePng(magic)
                     ? copyToNewFile(fd, thumb)
                     : writeNewFile(gradientPng(64, 64, {90, 90, 110}, {200, 200, 220}), thumb);
  if (!s) return failure(s.error().message);
  return json{{"ok", true}, {"path", thumb.string()}};
}

json Host::create(const json& request) {
  auto name = stringField(request, "name");
  if (!name) return badRequest("name", "a string");
  auto parentIt = request.find("parent");
  if (parentIt != request.end() && !parentIt->is_string() && !parentIt->is_null()) {
    return badRequest("parent", "a string");
  }
  std::optional<StagedCopy> staged;
  if (auto bad = takeStaged(request, staged); !bad.is_null()) return bad;

  std::lock_guard lock(mutex_);
  (void)syncLocked({});
  std::string parent;
  if (parentIt != request.end() && parentIt->is_string()) {
    const Entry* folder = findByUlid(catalog_, parentIt->get<std::string>(), true);
    if (!folder) {
      return failure("not_found", "no folder with ulid " + inQuotes(parentIt->get<std::string>()));
    }
    parent = folder->path;
  }
  if (auto bad = checkName(parent, *name); !bad.is_null()) return bad;
  std::string target = joinPath(parent, *name);

  fp::Status made =
      staged ? store_.takeOver(staged->path(), target, false) : store_.makeFolder(target);
  if (!made) {
    (void)syncLocked({});
    return storeFailure(made.error(), target);
  }
  if (staged) staged->takenOver();
  if (auto synced = syncLocked({}); !synced) {
    return failure("stored " + target +
                   " but could not update the index: " + synced.error().message);
  }
  auto it = catalog_.find(target);
  if (it == catalog_.end()) return failure("not_found", target + " vanished right after creation");
  return json{{"ok", true}, {"ulid", it->second.ulid}};
}

json Host::modify(const json& request) {
  auto ulid = stringField(request, "ulid");
  if (!ulid) return badRequest("ulid", "a string");
  auto isFolderField = boolField(request, "is_folder");
  if (!isFolderField) return badRequest("is_folder", "true or false");
  const bool isFolder = *isFolderField;
  std::optional<std::string> newName;
  if (request.contains("name")) {
    newName = stringField(request, "name");
    if (!newName) return badRequest("name", "a string");
  }
  auto parentIt = request.find("parent");
  if (parentIt != request.end() && !parentIt->is_string() && !parentIt->is_null()) {
    return badRequest("parent", "a string or null");
  }
  std::optional<StagedCopy> staged;
  if (auto bad = takeStaged(request, staged); !bad.is_null()) return bad;
  if (staged && isFolder) return failure("a folder has no contents to replace");

  std::lock_guard lock(mutex_);
  auto current = currentEntryLocked(*ulid, isFolder);
  if (!current.ok()) return std::move(current).error();
  const Entry item = std::move(*current);
  if (item.lockedBy) {
    return failure("locked",
                   inQuotes(item.path) + " is locked by user " + std::to_string(*item.lockedBy));
  }

  std::string parent = parentPath(item.path);
  if (parentIt != request.end()) {
    if (parentIt->is_null()) {
      parent.clear();
    } else {
      const Entry* folder = findByUlid(catalog_, parentIt->get<std::string>(), true);
      if (!folder) {
        return failure("not_found",
                       "no folder with ulid " + inQuotes(parentIt->get<std::string>()));
      }
      parent = folder->path;
    }
  }
  std::string name = newName.value_or(item.name);
  if (auto bad = checkName(parent, name); !bad.is_null()) return bad;
  if (isFolder && isWithin(parent, item.path)) {
    return failure("cannot move the folder " + inQuotes(item.path) + " into itself");
  }
  std::string target = joinPath(parent, name);
  bool moves = target != item.path;
  if (moves && store_.exists(target)) {
    return failure("invalid_name", "an item named " + inQuotes(name) + " already exists there");
  }

  Hints hints;
  if (staged) {
    if (auto s = store_.takeOver(staged->path(), item.path, true); !s) {
      (void)syncLocked({});
      return storeFailure(s.error(), item.path);
    }
    staged->takenOver();
    hints.contentReplaced.insert(target);
  }
  if (moves) {
    if (auto s = store_.move(item.path, target); !s) {
      (void)syncLocked(hints);
      return storeFailure(s.error(), target);
    }
    hints.moves.emplace_back(item.path, target);
    if (isFolder) {
      // Locks of files inside the folder travel with them.
      LockTable moved;
      bool changed = false;
      for (const auto& [path, user] : locks_) {
        if (isWithin(path, item.path)) {
          moved[target + path.substr(item.path.size())] = user;
          changed = true;
        } else {
          moved[path] = user;
        }
      }
      if (changed) {
        if (auto s = store_.writeLocks(moved); !s) {
          log_("cannot move the locks along: " + s.error().message);
        } else {
          locks_ = std::move(moved);
        }
      }
    }
  }
  if (auto synced = syncLocked(hints); !synced) {
    return failure("changed " + target +
                   " but could not update the index: " + synced.error().message);
  }
  return success();
}

json Host::remove(const json& request) {
  auto ulid = stringField(request, "ulid");
  if (!ulid) return badRequest("ulid", "a string");
  auto isFolderField = boolField(request, "is_folder");
  if (!isFolderField) return badRequest("is_folder", "true or false");
  const bool isFolder = *isFolderField;

  std::lock_guard lock(mutex_);
  auto current = currentEntryLocked(*ulid, isFolder);
  if (!current.ok()) return std::move(current).error();
  const Entry item = std::move(*current);
  // A folder goes with everything in it, so a lock anywhere inside keeps it.
  for (auto it = catalog_.lower_bound(item.path); it != catalog_.end(); ++it) {
    if (!it->first.starts_with(item.path)) break;
    if (isWithin(it->first, item.path) && it->second.lockedBy) {
      return failure("locked", inQuotes(it->first) + " is locked by user " +
                                   std::to_string(*it->second.lockedBy));
    }
  }
  if (auto s = store_.removeItem(item.path); !s) {
    (void)syncLocked({});
    return storeFailure(s.error(), item.path);
  }
  if (auto synced = syncLocked({}); !synced) {
    return failure("removed " + item.path +
                   " but could not update the index: " + synced.error().message);
  }
  return success();
}

}  // namespace refhost
