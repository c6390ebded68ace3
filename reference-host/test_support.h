// Helpers for the host's tests: temporary folders, a tiny bridge client on a
// real socket, a second (read-only) connection to the index, and the
// pell-refhost program run as a child process.
#ifndef PELLORA_REFHOST_TEST_SUPPORT_H_
#define PELLORA_REFHOST_TEST_SUPPORT_H_

#include <sqlite3.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "fileprovider/scoped_fd.h"

namespace refhost::testing {

// A fresh folder under /tmp (short, so socket paths inside stay short),
// removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Sends `line` (as given: add the LF yourself), optionally ends the sending
// side, and reads until the host closes; none when the connection fails.
std::optional<std::string> sendLine(const std::filesystem::path& socket, const std::string& line,
                                    bool endSending = false);
// One request object in, the parsed reply out (null when there was no reply).
nlohmann::json call(const std::filesystem::path& socket, const nlohmann::json& request);

// A row of the index, as the extension would read it.
struct Row {
  std::string ulid;
  bool isFolder = false;
  std::string name;
  std::optional<std::string> parent;
  std::int64_t size = 0, mtimeUnix = 0, version = 0;
  std::optional<std::int64_t> lockedBy;
};

// A read-only connection to an index, kept open so that its data version
// shows whether anybody else wrote in between.
class IndexReader {
 public:
  explicit IndexReader(const std::filesystem::path& database);
  // Rows by relative path (rebuilt from the names and parents).
  std::map<std::string, Row> rows();
  std::int64_t dataVersion();

 private:
  struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
  };
  std::unique_ptr<sqlite3, Closer> db_;
};

// The store's items by relative path: true for folders (the hidden folder left out).
std::map<std::string, bool> storeTree(const std::filesystem::path& store);

// Waits up to `timeout` for `condition`.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

void writeFile(const std::filesystem::path& path, const std::string& contents);
std::string readFile(const std::filesystem::path& path);

// pell-refhost run as a child with `args`; its standard output is read
// through a pipe, its standard error goes to a file.
class Process {
 public:
  explicit Process(const std::vector<std::string>& args);
  ~Process();  // kills the child if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // The first line on standard output, waiting up to `timeout`.
  std::optional<std::string> firstLine(
      std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Sends `signal` (when given) and waits for the exit; the exit status, or
  // 128 + signal number when a signal ended it.
  int wait(std::optional<int> signal = std::nullopt);
  std::string standardError() const;

 private:
  pid_t pid_ = -1;
  fp::ScopedFD out_;
  std::filesystem::path errFile_;
  std::string pending_;
};

// The user the permission tests act as when they run as root: nobody.
inline constexpr uid_t kOtherUid = 65534;

// Runs `body` in a forked child that has become user and group nobody, and
// returns the child's exit status (`body`'s result, at most 255), or -1 when
// the child could not become nobody. Call it as root only.
int runAsOtherUser(const std::function<int()>& body);

// The program's path in the build tree.
std::string programPath();

}  // namespace refhost::testing

#endif  // PELLORA_REFHOST_TEST_SUPPORT_H_
