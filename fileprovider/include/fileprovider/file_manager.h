// The file manager: application-group containers and the file operations callers need.
#ifndef FILEPROVIDER_FILE_MANAGER_H_
#define FILEPROVIDER_FILE_MANAGER_H_

#include <filesystem>
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

class FileManager {
 public:
  virtual ~FileManager();

  // The process-wide real file manager.
  static FileManager& defaultManager();

  // $FILEPROVIDER_CONTAINERS/<group> (default
  // ${XDG_DATA_HOME:-$HOME/.local/share}/fileprovider/containers/<group>), created
  // on first use; none for a group the process is not entitled to, or when the
  // directory cannot be created.
  virtual std::optional<std::filesystem::path> containerURL(std::string_view groupIdentifier);

  virtual bool fileExists(const std::filesystem::path& path);
  // Creates `path` (and its parents when asked); succeeds when it already exists as a directory.
  virtual Status createDirectory(const std::filesystem::path& path,
                                 bool withIntermediateDirectories);
  // Copies a file or a directory tree; fails when `to` exists.
  virtual Status copyItem(const std::filesystem::path& from, const std::filesystem::path& to);
  // Removes a file or a directory tree; fails when nothing is there.
  virtual Status removeItem(const std::filesystem::path& path);
  // The whole contents of a file.
  virtual StatusOr<std::string> contentsOfFile(const std::filesystem::path& path);
};

}  // namespace fp

#endif  // FILEPROVIDER_FILE_MANAGER_H_
