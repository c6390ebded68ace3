// The store: a plain folder tree that stands in for the document service. Its
// folders and regular files are the account's items; the hidden folder
// ".refhost" at its top holds the host's own files (the lock table and a
// scratch folder) and is never shown as an item.
#ifndef PELLORA_REFHOST_STORE_H_
#define PELLORA_REFHOST_STORE_H_

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fileprovider/error.h"
#include "fileprovider/scoped_fd.h"

namespace refhost {

// Name of the hidden folder at the top of a store.
inline constexpr std::string_view kMetaFolderName = ".refhost";

// One folder or regular file found by a scan.
struct Observed {
  std::string path;  // relative to the store root, components joined by '/'
  bool isFolder = false;
  std::int64_t size = 0;     // bytes; 0 for folders
  std::int64_t mtimeNs = 0;  // modification time, nanoseconds since 1970; 0 for folders
  std::uint64_t inode = 0;
};

// Locks by relative file path: the id of the user who holds the lock.
using LockTable = std::map<std::string, std::int64_t, std::less<>>;

// Path helpers for relative store paths ("" is the top level).
[[nodiscard]] std::string parentPath(std::string_view path);
[[nodiscard]] std::string_view baseName(std::string_view path);
[[nodiscard]] std::string joinPath(std::string_view parent, std::string_view name);
// True when `path` is `folder` itself or lies below it.
[[nodiscard]] bool isWithin(std::string_view path, std::string_view folder);

// True for a name an item may carry: not empty, not "." or "..", and without
// '/' or NUL.
[[nodiscard]] bool isValidName(std::string_view name);

class Store {
 public:
  explicit Store(std::filesystem::path root);

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path absolute(std::string_view relativePath) const;
  // root/.refhost/locks.json: a JSON object mapping relative file paths to user ids.
  std::filesystem::path lockFile() const;
  // root/.refhost/tmp: scratch space on the store's file system.
  std::filesystem::path scratchFolder() const;

  // Checks that the root is an existing folder and creates the hidden folders.
  [[nodiscard]] fp::Status prepare() const;

  // Every folder and regular file below the root, ordered by path (byte-wise),
  // so that a folder precedes everything inside it. The hidden folder, symbolic
  // links and other kinds of files are left out. Fails when a folder cannot be
  // read, so that a transient problem never looks like deleted items.
  [[nodiscard]] fp::StatusOr<std::vector<Observed>> scan() const;

  // The item at `path` as a scan sees it: nothing when it is missing, lies in
  // the hidden folder or is of another kind; else the item, and with `deep`
  // everything inside a folder too, ordered as scan() orders. Fails as scan().
  [[nodiscard]] fp::StatusOr<std::vector<Observed>> scanItem(std::string_view path,
                                                             bool deep) const;

  // The lock table; empty when the lock file does not exist.
  [[nodiscard]] fp::StatusOr<LockTable> readLocks() const;
  // Replaces the lock file atomically.
  [[nodiscard]] fp::Status writeLocks(const LockTable& locks) const;

  // The changes the host makes. Errors carry the errno value as their code in
  // the POSIX domain (EEXIST for a name that is taken, ENOENT for a missing
  // item or folder).
  [[nodiscard]] fp::Status makeFolder(std::string_view path) const;
  // Moves the file `from` (anywhere) to `path` in the store, replacing a file
  // there when `replace`, else failing with EEXIST. On another file system the
  // file is copied and the original removed.
  [[nodiscard]] fp::Status takeOver(const std::filesystem::path& from, std::string_view path,
                                    bool replace) const;
  // Renames or moves an item; fails with EEXIST when the target name is taken.
  [[nodiscard]] fp::Status move(std::string_view from, std::string_view to) const;
  // Removes a file, or a folder with everything in it.
  [[nodiscard]] fp::Status removeItem(std::string_view path) const;
  // Opens a file of the store for reading (symbolic links are not followed).
  [[nodiscard]] fp::StatusOr<fp::ScopedFD> openFile(std::string_view path) const;
  // True when something exists at `path` (symbolic links included).
  [[nodiscard]] bool exists(std::string_view path) const;

 private:
  std::filesystem::path root_;
};

// Copies everything readable from `fd` into the file `to`, replacing what is
// there, through a temporary name in the same folder, so that readers never
// see a partial file. The file gets the permission bits `mode`; without one it
// keeps those of the file it replaces, and a new file gets 0644 less the umask.
[[nodiscard]] fp::Status copyToNewFile(int fd, const std::filesystem::path& to,
                                       std::optional<mode_t> mode = std::nullopt);
// Writes `bytes` to `to` in the same way.
[[nodiscard]] fp::Status writeNewFile(std::string_view bytes, const std::filesystem::path& to,
                                      std::optional<mode_t> mode = std::nullopt);

}  // namespace refhost

#endif  // PELLORA_REFHOST_STORE_H_
