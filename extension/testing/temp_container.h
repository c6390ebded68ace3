// A temporary app-group container for tests: points the platform's containers
// at a fresh directory, declares the extension's application group, and removes
// everything again when the fixture ends.
#ifndef PELLORA_TESTING_TEMP_CONTAINER_H_
#define PELLORA_TESTING_TEMP_CONTAINER_H_

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace pellora::testing {

class TempContainer {
 public:
  // `rootBase` is where the temporary tree is made (default: the system temp
  // directory). Sets FILEPROVIDER_CONTAINERS and FILEPROVIDER_LOG (a log file
  // inside the tree) for this process.
  explicit TempContainer(
      std::string_view group = "QZ3RMT5XK9.de.brightfold.pellora-connect-desktop");
  ~TempContainer();
  TempContainer(const TempContainer&) = delete;
  TempContainer& operator=(const TempContainer&) = delete;

  // The group's container directory (created).
  const std::filesystem::path& dir() const { return dir_; }
  // The root of the temporary tree (parent of the containers folder).
  const std::filesystem::path& root() const { return root_; }
  // The log file the platform writes in this test.
  const std::filesystem::path& logFile() const { return log_; }
  // Lines of the log file, without the time column: "level\tsubsystem\tcategory\tmessage".
  std::vector<std::string> logLines() const;
  void clearLog() const;

 private:
  std::filesystem::path root_;
  std::filesystem::path dir_;
  std::filesystem::path log_;
};

}  // namespace pellora::testing

#endif  // PELLORA_TESTING_TEMP_CONTAINER_H_
