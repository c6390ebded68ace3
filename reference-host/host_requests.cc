// The host's answers to the extension's requests (fetch, thumbnail, create,
// modify, delete): each checks what it is given, changes the store and the
// catalogue under the host's locks, and says what became of the item.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "fileprovider/file_manager.h"
#include "reference-host/access.h"
#include "reference-host/host.h"
#include "reference-host/png_writer.h"
#include "reference-host/ulid.h"

namespace refhost {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The first bytes of a file, read to tell an image by its signature: the
// longest that looksLikeImage() compares ("RIFF", size, "WEBP") takes 12.
constexpr std::size_t kImageSignatureBytes = 16;

// The picture that stands in for the thumbnail of an image this host cannot
// decode: small, as a thumbnail is, and a quiet blue-grey gradient.
constexpr std::uint32_t kStandInThumbnailSide = 64;
constexpr Rgb kStandInThumbnailFrom = {90, 90, 110};
constexpr Rgb kStandInThumbnailTo = {200, 200, 220};

json success() { return json{{"ok", true}}; }

// A failed request of the kind `kind`, to return from any of its steps.
fp::Failure<RequestFailure> failure(std::string_view kind, std::string message) {
  return fp::fail(RequestFailure{std::string(kind), std::move(message)});
}

// A failure that names no kind: the request itself is wrong, or the host failed.
fp::Failure<RequestFailure> failure(std::string message) {
  return fp::fail(RequestFailure{{}, std::move(message)});
}

fp::Failure<RequestFailure> badRequest(std::string_view key, std::string_view wanted) {
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

// A failed change of the store as a failed request: the errno value decides
// the kind.
fp::Failure<RequestFailure> storeFailure(const fp::Error& error, std::string_view target) {
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

RequestStatus checkName(std::string_view parentPath, std::string_view name) {
  if (!isValidName(name)) return failure("invalid_name", "invalid name " + inQuotes(name));
  if (parentPath.empty() && name == kMetaFolderName) {
    return failure("invalid_name", "the name " + inQuotes(name) + " is reserved");
  }
  return fp::Ok{};
}

// `locks` with those at and below `from` moved to `to`; none when no lock is
// there.
std::optional<LockTable> locksMovedAlong(const LockTable& locks, const std::string& from,
                                         const std::string& to) {
  LockTable moved;
  bool changed = false;
  for (const auto& [path, user] : locks) {
    if (isWithin(path, from)) {
      moved[to + path.substr(from.size())] = user;
      changed = true;
    } else {
      moved[path] = user;
    }
  }
  if (!changed) return std::nullopt;
  return moved;
}

}  // namespace

StagedCopy::~StagedCopy() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

bool Host::isUploadFolder(const fs::path& folder) const {
  // The same folder: two stats. Resolving both paths costs a look-up per
  // component, and this runs for every upload.
  struct stat given {};
  struct stat upload {};
  if (::stat(folder.c_str(), &given) == 0 && ::stat(uploadFolder_.c_str(), &upload) == 0 &&
      S_ISDIR(given.st_mode) && given.st_dev == upload.st_dev && given.st_ino == upload.st_ino) {
    return true;
  }
  std::error_code ec1, ec2;
  return fs::weakly_canonical(folder, ec1) == fs::weakly_canonical(uploadFolder_, ec2) && !ec1 &&
         !ec2;
}

RequestStatus Host::takeStaged(const json& request, std::optional<StagedCopy>& staged) const {
  if (!request.contains("path")) return fp::Ok{};
  auto path = stringField(request, "path");
  if (!path) return badRequest("path", "a string");
  // Only a file in the staging folder is taken over: anything else would let
  // a peer move arbitrary files of this user into the store.
  fs::path p(*path);
  if (!p.is_absolute() || !p.has_filename() || !isUploadFolder(p.parent_path())) {
    return failure("contents must be staged in " + uploadFolder_.string() + ", not " + *path);
  }
  struct stat st {};
  if (::lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return failure("no staged file at " + *path);
  }
  staged.emplace(p);
  return fp::Ok{};
}

RequestResult<std::string> Host::operationOf(const json& request) const {
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
  return *op;
}

json Host::handle(const json& request) {
  auto op = operationOf(request);
  if (!op) return replyFor(op.error());
  // A request finds its items by ulid and works on their paths in the store; a
  // folder's move changes the paths of everything below it, so it waits for
  // the requests under way and they wait for it.
  auto folderField = request.find("is_folder");
  const bool mayMoveFolder = *op == "modify" && folderField != request.end() &&
                             folderField->is_boolean() && folderField->get<bool>();
  std::shared_lock sharing(places_, std::defer_lock);
  std::unique_lock moving(places_, std::defer_lock);
  if (mayMoveFolder) {
    moving.lock();
  } else {
    sharing.lock();
  }
  RequestResult<json> answer = *op == "fetch"       ? fetch(request)
                               : *op == "thumbnail" ? thumbnail(request)
                               : *op == "create"    ? create(request)
                               : *op == "modify"    ? modify(request)
                                                    : remove(request);
  if (!answer) return replyFor(answer.error());
  return std::move(answer).value();
}

RequestResult<Entry> Host::currentEntryLocked(const std::string& ulid, bool isFolder) {
  const Entry* found = findLocked(ulid, isFolder);
  if (!found) {
    return failure("not_found", std::string(isFolder ? "no folder" : "no file") + " with ulid " +
                                    inQuotes(ulid));
  }
  return *found;
}

RequestResult<Host::OpenedFile> Host::openRequestedFile(const json& request) {
  auto ulid = stringField(request, "ulid");
  if (!ulid) return badRequest("ulid", "a string");
  RequestResult<Entry> entry = [&] {
    std::lock_guard lock(mutex_);
    return currentEntryLocked(*ulid, false);
  }();
  if (!entry.ok()) return fp::propagate(entry);
  auto opened = store_.openFile(entry->path);
  if (!opened) return storeFailure(opened.error(), entry->path);
  return OpenedFile{std::move(*opened), std::move(*entry)};
}

RequestResult<json> Host::fetch(const json& request) {
  auto file = openRequestedFile(request);
  if (!file.ok()) return fp::propagate(file);
  const fs::path copy =
      cacheFolder_ / (file->entry.ulid + "-" + std::to_string(file->entry.version));
  if (auto s = copyToNewFile(file->fd.get(), copy, kOwnerOnlyFileMode); !s) {
    return failure(s.error().message);
  }
  return json{{"ok", true}, {"path", copy.string()}};
}

RequestResult<json> Host::thumbnail(const json& request) {
  auto file = openRequestedFile(request);
  if (!file.ok()) return fp::propagate(file);
  const int fd = file->fd.get();
  const std::string& name = file->entry.name;
  const fs::path thumb = cacheFolder_ / (file->entry.ulid + "-" +
                                         std::to_string(file->entry.version) + "-thumbnail.png");
  char head[kImageSignatureBytes];
  ssize_t n = fp::retryOnEintr([&] { return ::pread(fd, head, sizeof head, 0); });
  std::string_view magic(head, n > 0 ? static_cast<std::size_t>(n) : 0);
  if (!looksLikeImage(magic)) {
    return failure("not_found", "no thumbnail for " + inQuotes(name) + ": not an image");
  }
  // A PNG serves as its own thumbnail; for other formats, which this host
  // cannot decode, a small picture stands in.
  fp::Status s = looksLikePng(magic)
                     ? copyToNewFile(fd, thumb, kOwnerOnlyFileMode)
                     : writeNewFile(gradientPng(kStandInThumbnailSide, kStandInThumbnailSide,
                                                kStandInThumbnailFrom, kStandInThumbnailTo),
                                    thumb, kOwnerOnlyFileMode);
  if (!s) return failure(s.error().message);
  return json{{"ok", true}, {"path", thumb.string()}};
}

RequestResult<json> Host::create(const json& request) {
  auto name = stringField(request, "name");
  if (!name) return badRequest("name", "a string");
  auto parentIt = request.find("parent");
  if (parentIt != request.end() && !parentIt->is_string() && !parentIt->is_null()) {
    return badRequest("parent", "a string");
  }
  std::optional<StagedCopy> staged;
  if (auto taken = takeStaged(request, staged); !taken) return fp::propagate(taken);

  std::string parent;
  if (parentIt != request.end() && parentIt->is_string()) {
    std::lock_guard lock(mutex_);
    const Entry* folder = findLocked(parentIt->get<std::string>(), true);
    if (!folder) {
      return failure("not_found", "no folder with ulid " + inQuotes(parentIt->get<std::string>()));
    }
    parent = folder->path;
  }
  if (auto checked = checkName(parent, *name); !checked) return fp::propagate(checked);
  std::string target = joinPath(parent, *name);

  // The store decides races between requests: a name is taken only once.
  fp::Status made =
      staged ? store_.takeOver(staged->path(), target, false) : store_.makeFolder(target);
  if (!made) {
    (void)refresh(target);
    return storeFailure(made.error(), target);
  }
  if (staged) staged->takenOver();
  if (auto s = refresh(target); !s) {
    return failure("stored " + target + " but could not update the index: " + s.error().message);
  }
  std::lock_guard lock(mutex_);
  auto it = catalog_.find(target);
  if (it == catalog_.end()) return failure("not_found", target + " vanished right after creation");
  return json{{"ok", true}, {"ulid", it->second.ulid}};
}

RequestResult<Host::ModifiedItem> Host::modifiedItemLocked(const std::string& ulid, bool isFolder,
                                                           const json* parentField) {
  auto current = currentEntryLocked(ulid, isFolder);
  if (!current.ok()) return fp::propagate(current);
  ModifiedItem modified{std::move(*current), std::string()};
  const Entry& item = modified.item;
  if (item.lockedBy) {
    return failure("locked",
                   inQuotes(item.path) + " is locked by user " + std::to_string(*item.lockedBy));
  }
  modified.parent = parentPath(item.path);
  if (parentField != nullptr) {
    if (parentField->is_null()) {
      modified.parent.clear();
    } else {
      const Entry* folder = findLocked(parentField->get<std::string>(), true);
      if (!folder) {
        return failure("not_found",
                       "no folder with ulid " + inQuotes(parentField->get<std::string>()));
      }
      modified.parent = folder->path;
    }
  }
  return modified;
}

RequestStatus Host::replaceContents(const std::string& path, StagedCopy& staged) {
  if (auto s = store_.takeOver(staged.path(), path, true); !s) {
    (void)refresh(path);
    return storeFailure(s.error(), path);
  }
  staged.takenOver();
  if (auto s = refreshItem(path, true, false); !s) {
    return failure("changed " + path + " but could not update the index: " + s.error().message);
  }
  return fp::Ok{};
}

RequestStatus Host::moveItem(const std::string& from, const std::string& to, bool isFolder) {
  if (auto s = store_.move(from, to); !s) {
    (void)refresh(from);
    return storeFailure(s.error(), to);
  }
  std::lock_guard lock(mutex_);
  Changes changes;
  if (isFolder) {
    // Locks of files inside the folder travel with them.
    if (std::optional<LockTable> moved = locksMovedAlong(locks_, from, to)) {
      if (auto s = store_.writeLocks(*moved); !s) {
        log_("cannot move the locks along: " + s.error().message);
      } else {
        setLocksLocked(std::move(*moved), changes);
      }
    }
  }
  if (catalog_.count(from) && !catalog_.count(to)) moveLocked(from, to, changes);
  if (auto s = commitLocked(std::move(changes)); !s) {
    return failure("changed " + to + " but could not update the index: " + s.error().message);
  }
  return fp::Ok{};
}

RequestResult<json> Host::modify(const json& request) {
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
  if (auto taken = takeStaged(request, staged); !taken) return fp::propagate(taken);
  if (staged && isFolder) return failure("a folder has no contents to replace");

  RequestResult<ModifiedItem> modified = [&] {
    std::lock_guard lock(mutex_);
    return modifiedItemLocked(*ulid, isFolder, parentIt != request.end() ? &*parentIt : nullptr);
  }();
  if (!modified.ok()) return fp::propagate(modified);
  const Entry& item = modified->item;
  const std::string& parent = modified->parent;
  std::string name = newName.value_or(item.name);
  if (auto checked = checkName(parent, name); !checked) return fp::propagate(checked);
  if (isFolder && isWithin(parent, item.path)) {
    return failure("cannot move the folder " + inQuotes(item.path) + " into itself");
  }
  std::string target = joinPath(parent, name);
  bool moves = target != item.path;
  if (moves && store_.exists(target)) {
    return failure("invalid_name", "an item named " + inQuotes(name) + " already exists there");
  }

  if (staged) {
    if (auto replaced = replaceContents(item.path, *staged); !replaced) {
      return fp::propagate(replaced);
    }
  }
  if (moves) {
    if (auto movedThere = moveItem(item.path, target, isFolder); !movedThere) {
      return fp::propagate(movedThere);
    }
  }
  return success();
}

RequestResult<json> Host::remove(const json& request) {
  auto ulid = stringField(request, "ulid");
  if (!ulid) return badRequest("ulid", "a string");
  auto isFolderField = boolField(request, "is_folder");
  if (!isFolderField) return badRequest("is_folder", "true or false");
  const bool isFolder = *isFolderField;

  Entry item;
  {
    std::lock_guard lock(mutex_);
    auto current = currentEntryLocked(*ulid, isFolder);
    if (!current.ok()) return fp::propagate(current);
    item = std::move(*current);
    // A folder goes with everything in it, so a lock anywhere inside keeps it.
    for (auto it = catalog_.lower_bound(item.path); it != catalog_.end(); ++it) {
      if (!it->first.starts_with(item.path)) break;
      if (isWithin(it->first, item.path) && it->second.lockedBy) {
        return failure("locked", inQuotes(it->first) + " is locked by user " +
                                     std::to_string(*it->second.lockedBy));
      }
    }
  }
  if (auto s = store_.removeItem(item.path); !s) {
    (void)refresh(item.path);
    return storeFailure(s.error(), item.path);
  }
  if (auto s = refresh(item.path); !s) {
    return failure("removed " + item.path +
                   " but could not update the index: " + s.error().message);
  }
  return success();
}

}  // namespace refhost
