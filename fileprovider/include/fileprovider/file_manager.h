// The file manager: application-group containers and the file operations callers need.
#ifndef FILEPROVIDER_FILE_MANAGER_H_
#define FILEPROVIDER_FILE_MANAGER_H_

#include <cstddef>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fileprovider/error.h"

namespace fp {

// Declares application groups the running process is entitled to. A program
// declares its own at start; loading an extension bundle declares the groups its
// Info.json lists. Declarations add up for the life of the process.
void declareApplicationGroups(const std::vector<std::string>& groups);

// The folder of an application group, as FileManager::containerURL gives it,
// or the reason there is none: the group is not one this process is entitled
// to, or a folder on the way could not be made or is not this user's own (the
// error names the folder and why).
StatusOr<std::filesystem::path> applicationGroupContainer(std::string_view groupIdentifier);

class FileManager {
 public:
  virtual ~FileManager();

  // The process-wide real file manager.
  static FileManager& defaultManager();

  // $FILEPROVIDER_CONTAINERS/<group>, created on first use. By default the
  // container persists in ${XDG_DATA_HOME:-$HOME/.local/share}/fileprovider/containers/<group>
  // and is reached through a short path, <short>/<group>, a symbolic link to it,
  // where <short> is $XDG_RUNTIME_DIR/fileprovider (when that folder is at most 32 bytes long and
  // this user's own) or /tmp/fileprovider-<uid>: an owner-only folder of this user, made when
  // missing and refused when someone else owns it or it is a link. The short path keeps a
  // socket in the container within a Unix socket address for any home folder.
  // Folders made here are owner-only (0700). None for a group the process is
  // not entitled to, or when the directory cannot be created.
  virtual std::optional<std::filesystem::path> containerURL(std::string_view groupIdentifier);

  virtual bool fileExists(const std::filesystem::path& path);
  // Creates `path` (and its parents when asked); succeeds when it already exists as a directory.
  // Every folder it makes is owner-only (0700) whatever the umask.
  virtual Status createDirectory(const std::filesystem::path& path,
                                 bool withIntermediateDirectories);
  // Copies a file or a directory tree; fails when `to` exists.
  virtual Status copyItem(const std::filesystem::path& from, const std::filesystem::path& to);
  // Removes a file or a directory tree; fails when nothing is there.
  virtual Status removeItem(const std::filesystem::path& path);
  // The whole contents of a regular file, at most `maxBytes` long (a longer
  // file fails with kFileReadTooLargeError). The file is opened without
  // blocking, so a FIFO or a device fails at once instead of hanging or
  // reading without end.
  virtual StatusOr<std::string> contentsOfFile(
      const std::filesystem::path& path,
      std::size_t maxBytes = std::numeric_limits<std::size_t>::max());
};

}  // namespace fp

#endif  // FILEPROVIDER_FILE_MANAGER_H_
