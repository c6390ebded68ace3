// The end-to-end harness: runs the real programs (pell-refhost, pell-domain,
// fpctl, and the extension bundle that fpctl loads) together in a private
// sandbox, so that each test sees a fresh store, container, registry and log.
//
// A Sandbox is a short directory under /tmp (the socket path in its container
// stays well below the 108-byte limit of Unix socket addresses) holding
//
//   store/       the document-service stand-in that pell-refhost serves
//   containers/  $FILEPROVIDER_CONTAINERS (the app-group container lives here)
//   state/       $FILEPROVIDER_STATE (the domain registry)
//   platform.log $FILEPROVIDER_LOG
//
// Child processes get those variables, and FILEPROVIDER_BUNDLE pointing at the
// built extension bundle, in their environment; the test process itself is not
// changed. Typical use, through the fixture:
//
//   class MyTest : public pellora::e2e::SystemTest {};
//   TEST_F(MyTest, ListsRoot) {
//     auto ls = fpctlOk({"ls", "@root"});
//     EXPECT_FALSE(ls["items"].empty());
//   }
//
// SystemTest::SetUp seeds the store, starts the host and registers the domain;
// TearDown stops the host, removes the domain and deletes the sandbox.
#ifndef PELLORA_TESTS_E2E_HARNESS_H_
#define PELLORA_TESTS_E2E_HARNESS_H_

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace pellora::e2e {

inline constexpr std::string_view kAppGroup = "QZ3RMT5XK9.de.brightfold.pellora-connect-desktop";
inline constexpr std::string_view kDefaultDomain = "de.brightfold.pellora-connect-desktop.default";
inline constexpr std::string_view kDisplayName = "Pellora Connect";
inline constexpr std::string_view kRootId = "NSFileProviderRootContainerItemIdentifier";

// Paths of the programs under test (from the build).
struct Programs {
  static std::string refhost();
  static std::string domainTool();
  static std::string fpctl();
  static std::string bundle();
};

// The outcome of one program run.
struct RunResult {
  // Exit status; 128 + signal number when the program was killed by a signal;
  // -1 when it could not be started.
  int status = -1;
  bool timedOut = false;
  std::string out;
  std::string err;
  // Standard output parsed as JSON; null when it is not JSON.
  nlohmann::json json;
  bool isJson = false;

  // "status 1, stdout: ..., stderr: ..." for failure messages.
  std::string describe() const;
};

struct RunOptions {
  // The run is killed (SIGKILL) after this long and reported as timed out.
  std::chrono::milliseconds timeout{std::chrono::seconds(30)};
  // Variables added to (or replacing those in) the child's environment.
  std::vector<std::pair<std::string, std::string>> env;
  // Bytes written to the child's standard input (otherwise /dev/null).
  std::optional<std::string> input;
};

class Sandbox {
 public:
  // Creates the directory tree (nothing is seeded or started).
  Sandbox();
  // Stops the host if it still runs, then removes the tree.
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path store() const { return root_ / "store"; }
  std::filesystem::path containers() const { return root_ / "containers"; }
  // The extension's app-group container (index databases, fp.sock, fp-upload).
  std::filesystem::path container() const { return containers() / std::string(kAppGroup); }
  std::filesystem::path socketPath() const { return container() / "fp.sock"; }
  std::filesystem::path state() const { return root_ / "state"; }
  std::filesystem::path logFile() const { return root_ / "platform.log"; }

  // The environment handed to every child: this process's environment with the
  // FILEPROVIDER_* variables of the sandbox, and XDG_CACHE_HOME in it.
  std::vector<std::string> environment(
      const std::vector<std::pair<std::string, std::string>>& extra = {}) const;

  // Runs a program to its end, capturing its output.
  RunResult run(const std::vector<std::string>& argv, const RunOptions& options = {}) const;

  // ---- the store ----
  // `pell-refhost seed --store <store>`.
  RunResult seed() const;
  // Paths are relative to the store ("Documents/notes.txt").
  std::string readStore(std::string_view rel) const;
  void writeStore(std::string_view rel, std::string_view bytes) const;
  bool storeHas(std::string_view rel) const;
  bool storeIsFolder(std::string_view rel) const;
  // The names in a store folder, sorted; "" is the store's top level.
  std::vector<std::string> storeChildren(std::string_view rel = "") const;
  void removeStore(std::string_view rel) const;
  void renameStore(std::string_view from, std::string_view to) const;

  // ---- the host application ----
  // Starts `pell-refhost serve --store <store> [flags...]` and waits until it
  // prints its ready line (a first line on standard output) and its socket
  // exists. False, with the reason added as a test failure, when it exits early
  // or does not become ready within 15 s.
  bool startHost(const std::vector<std::string>& flags = {});
  // SIGTERM, then waits for it to exit (SIGKILL after 10 s). Returns its exit
  // status (128 + signal when killed), or -1 when no host was running.
  int stopHost();
  // stopHost, then startHost with the new flags.
  bool restartHost(const std::vector<std::string>& flags = {});
  bool hostRunning() const { return hostPid_ > 0; }
  // What the current (or last) host wrote so far.
  std::string hostStdout() const;
  std::string hostStderr() const;

  // ---- the domain ----
  RunResult registerDomain() const;  // pell-domain register
  RunResult removeDomain() const;    // pell-domain remove

  // ---- fpctl ----
  // `fpctl --json ARGS...` (JSON parsed into RunResult::json).
  RunResult fpctl(const std::vector<std::string>& args, const RunOptions& options = {}) const;
  // `fpctl ARGS...` without --json: the output for people.
  RunResult fpctlText(const std::vector<std::string>& args, const RunOptions& options = {}) const;

  // The platform log written so far ("" when none).
  std::string log() const;

 private:
  std::filesystem::path root_;
  pid_t hostPid_ = -1;
  int hostStarts_ = 0;
};

// Polls `condition` every 20 ms until it holds or `timeout` passes; returns its
// last value.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// What a test needs of the machine: a program on PATH and the Debian package
// that brings it. The first one missing, as a line that names both and the
// command that installs them; nothing when all are there. A test checks this
// first, so that a missing program fails it with that line and not with a
// mismatch further on.
struct NeededProgram {
  std::string_view program;
  std::string_view package;
};
std::optional<std::string> missingProgram(std::initializer_list<NeededProgram> programs);

// The item of a listing ({"items":[...]}) with the given filename; null when none.
nlohmann::json findByName(const nlohmann::json& listing, std::string_view filename);
// The filenames of a listing, in listing order.
std::vector<std::string> filenames(const nlohmann::json& listing);

// A sandbox with a seeded store, the host serving it, and the default domain
// registered. Each test gets its own.
class SystemTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  Sandbox& sandbox() { return *sandbox_; }

  // Runs `fpctl --json ARGS` and expects exit status 0 with a JSON object;
  // returns the object (null after a failure, which is recorded).
  nlohmann::json fpctlOk(const std::vector<std::string>& args);
  // Runs `fpctl --json ARGS` and expects exit status 1 with {"error":...};
  // returns the error object ({"domain","code","description"}).
  nlohmann::json fpctlError(const std::vector<std::string>& args);
  // `fpctl --json ls CONTAINER`, expected to succeed.
  nlohmann::json list(const std::string& container = "@root");
  // The identifier of the child named `filename` of `container`; "" (and a
  // recorded failure) when there is none.
  std::string idOf(const std::string& filename, const std::string& container = "@root");

 private:
  std::optional<Sandbox> sandbox_;
};

}  // namespace pellora::e2e

#endif  // PELLORA_TESTS_E2E_HARNESS_H_
