#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "fileprovider/scoped_fd.h"

extern char** environ;

namespace pellora::e2e {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string Programs::refhost() { return PELL_REFHOST_BIN; }
std::string Programs::domainTool() { return PELL_DOMAIN_BIN; }
std::string Programs::fpctl() { return FPCTL_BIN; }
std::string Programs::bundle() { return PELLORA_BUNDLE_DIR; }

namespace {

// An anonymous in-memory file: children write their output into it, and the
// test reads it back after they exit (no pipe can fill up and block a child).
fp::ScopedFD memoryFile(const char* name) {
  fp::ScopedFD fd(::memfd_create(name, MFD_CLOEXEC));
  if (!fd) throw std::runtime_error(std::string("memfd_create failed: ") + std::strerror(errno));
  return fd;
}

std::string readWhole(int fd) {
  std::string out;
  if (::lseek(fd, 0, SEEK_SET) < 0) return out;
  char buf[65536];
  for (;;) {
    ssize_t n = fp::retryOnEintr([&] { return ::read(fd, buf, sizeof buf); });
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

void writeWhole(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = fp::retryOnEintr([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (n <= 0) throw std::runtime_error("write failed");
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

int decodeStatus(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}

// Starts `argv` with the given environment and standard streams. Returns the
// pid, or -1 (with errno's text in `error`) when it cannot be started.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int in,
            int out, int err, std::string& error) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in, 0);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  // A fresh signal state: the child must not inherit blocked signals of the test.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    error = std::string("cannot start ") + argv[0] + ": " + std::strerror(rc);
    return -1;
  }
  return pid;
}

// Waits for `pid` to end, for at most `timeout`; then kills it. Returns the
// decoded status.
int waitFor(pid_t pid, std::chrono::milliseconds timeout, bool& timedOut) {
  auto deadline = Clock::now() + timeout;
  auto nap = std::chrono::microseconds(200);
  for (;;) {
    int st = 0;
    pid_t r = ::waitpid(pid, &st, WNOHANG);
    if (r == pid) return decodeStatus(st);
    if (r < 0 && errno != EINTR) return -1;
    if (Clock::now() >= deadline) {
      timedOut = true;
      ::kill(pid, SIGKILL);
      fp::retryOnEintr([&] { return ::waitpid(pid, &st, 0); });
      return decodeStatus(st);
    }
    std::this_thread::sleep_for(nap);
    nap = std::min<std::chrono::microseconds>(nap * 2, std::chrono::milliseconds(5));
  }
}

fs::path storePath(const fs::path& store, std::string_view rel) {
  return rel.empty() ? store : store / fs::path(std::string(rel));
}

}  // namespace

std::string RunResult::describe() const {
  std::ostringstream s;
  s << "status " << status << (timedOut ? " (timed out)" : "") << "\n--- stdout ---\n"
    << out << "\n--- stderr ---\n"
    << err;
  return s.str();
}

Sandbox::Sandbox() {
  std::string tmpl = "/tmp/pe2e.XXXXXX";
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  root_ = tmpl;
  // The user's own folders, made as a user would under the usual umask: a test
  // may run under another one, to see what the programs make below them.
  for (const fs::path& dir : {containers(), state()}) {
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms(0755));
  }
}

Sandbox::~Sandbox() {
  if (hostRunning()) stopHost();
  const char* keep = std::getenv("PELLORA_E2E_KEEP");
  if (keep && *keep) return;  // left for inspection
  std::error_code ec;
  fs::remove_all(root_, ec);
}

std::vector<std::string> Sandbox::environment(
    const std::vector<std::pair<std::string, std::string>>& extra) const {
  std::vector<std::pair<std::string, std::string>> set = {
      {"FILEPROVIDER_CONTAINERS", containers().string()},
      {"FILEPROVIDER_STATE", state().string()},
      {"FILEPROVIDER_LOG", logFile().string()},
      {"FILEPROVIDER_BUNDLE", Programs::bundle()},
      // A mount without --cache, and `fpctl status`, use the sandbox's.
      {"XDG_CACHE_HOME", (root_ / "xdg-cache").string()},
  };
  for (const auto& e : extra) {
    std::erase_if(set, [&](const auto& s) { return s.first == e.first; });
    set.push_back(e);
  }
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string_view var(*e);
    auto name = var.substr(0, var.find('='));
    bool replaced =
        std::any_of(set.begin(), set.end(), [&](const auto& s) { return s.first == name; });
    if (!replaced) env.emplace_back(var);
  }
  for (const auto& [name, value] : set) env.push_back(name + "=" + value);
  return env;
}

RunResult Sandbox::run(const std::vector<std::string>& argv, const RunOptions& options) const {
  RunResult result;
  fp::ScopedFD out = memoryFile("stdout");
  fp::ScopedFD err = memoryFile("stderr");
  fp::ScopedFD in;
  if (options.input) {
    in = memoryFile("stdin");
    writeWhole(in.get(), *options.input);
    ::lseek(in.get(), 0, SEEK_SET);
  } else {
    in = fp::ScopedFD(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  }
  std::string error;
  pid_t pid = spawn(argv, environment(options.env), in.get(), out.get(), err.get(), error);
  if (pid < 0) {
    result.err = error;
    return result;
  }
  result.status = waitFor(pid, options.timeout, result.timedOut);
  result.out = readWhole(out.get());
  result.err = readWhole(err.get());
  result.json = nlohmann::json::parse(result.out, nullptr, /*allow_exceptions=*/false);
  result.isJson = !result.json.is_discarded();
  if (!result.isJson) result.json = nullptr;
  return result;
}

RunResult Sandbox::seed() const {
  return run({Programs::refhost(), "seed", "--store", store().string()});
}

std::string Sandbox::readStore(std::string_view rel) const {
  return readFile(storePath(store(), rel));
}

void Sandbox::writeStore(std::string_view rel, std::string_view bytes) const {
  fs::path p = storePath(store(), rel);
  fs::create_directories(p.parent_path());
  std::ofstream o(p, std::ios::binary | std::ios::trunc);
  o.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool Sandbox::storeHas(std::string_view rel) const {
  std::error_code ec;
  return fs::exists(fs::symlink_status(storePath(store(), rel), ec));
}

bool Sandbox::storeIsFolder(std::string_view rel) const {
  std::error_code ec;
  return fs::is_directory(storePath(store(), rel), ec);
}

std::vector<std::string> Sandbox::storeChildren(std::string_view rel) const {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(storePath(store(), rel), ec))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void Sandbox::removeStore(std::string_view rel) const {
  std::error_code ec;
  fs::remove_all(storePath(store(), rel), ec);
}

void Sandbox::renameStore(std::string_view from, std::string_view to) const {
  fs::rename(storePath(store(), from), storePath(store(), to));
}

bool Sandbox::startHost(const std::vector<std::string>& flags) {
  if (hostRunning()) {
    ADD_FAILURE() << "the host is already running";
    return false;
  }
  ++hostStarts_;
  fs::path outPath = root_ / ("host-" + std::to_string(hostStarts_) + ".out");
  fs::path errPath = root_ / ("host-" + std::to_string(hostStarts_) + ".err");
  fp::ScopedFD out(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  fp::ScopedFD err(::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  fp::ScopedFD in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  std::vector<std::string> argv = {Programs::refhost(), "serve", "--store", store().string()};
  argv.insert(argv.end(), flags.begin(), flags.end());
  std::string error;
  pid_t pid = spawn(argv, environment(), in.get(), out.get(), err.get(), error);
  if (pid < 0) {
    ADD_FAILURE() << error;
    return false;
  }
  hostPid_ = pid;

  auto deadline = Clock::now() + std::chrono::seconds(15);
  for (;;) {
    if (hostStdout().find('\n') != std::string::npos && fs::exists(socketPath())) return true;
    int st = 0;
    if (::waitpid(pid, &st, WNOHANG) == pid) {
      hostPid_ = -1;
      ADD_FAILURE() << "pell-refhost serve exited with status " << decodeStatus(st)
                    << " before it was ready\n--- stdout ---\n"
                    << hostStdout() << "\n--- stderr ---\n"
                    << hostStderr();
      return false;
    }
    if (Clock::now() >= deadline) {
      stopHost();
      ADD_FAILURE() << "pell-refhost serve did not print a ready line within 15 s\n--- stdout ---\n"
                    << hostStdout() << "\n--- stderr ---\n"
                    << hostStderr();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int Sandbox::stopHost() {
  if (!hostRunning()) return -1;
  pid_t pid = std::exchange(hostPid_, -1);
  ::kill(pid, SIGTERM);
  bool timedOut = false;
  int status = waitFor(pid, std::chrono::seconds(10), timedOut);
  if (timedOut) ADD_FAILURE() << "pell-refhost did not stop within 10 s of SIGTERM";
  return status;
}

bool Sandbox::restartHost(const std::vector<std::string>& flags) {
  stopHost();
  return startHost(flags);
}

std::string Sandbox::hostStdout() const {
  return readFile(root_ / ("host-" + std::to_string(hostStarts_) + ".out"));
}

std::string Sandbox::hostStderr() const {
  return readFile(root_ / ("host-" + std::to_string(hostStarts_) + ".err"));
}

RunResult Sandbox::registerDomain() const { return run({Programs::domainTool(), "register"}); }

RunResult Sandbox::removeDomain() const { return run({Programs::domainTool(), "remove"}); }

RunResult Sandbox::fpctl(const std::vector<std::string>& args, const RunOptions& options) const {
  std::vector<std::string> argv = {Programs::fpctl(), "--json"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, options);
}

RunResult Sandbox::fpctlText(const std::vector<std::string>& args,
                             const RunOptions& options) const {
  std::vector<std::string> argv = {Programs::fpctl()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, options);
}

std::string Sandbox::log() const { return readFile(logFile()); }

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::optional<std::string> missingProgram(std::initializer_list<NeededProgram> programs) {
  const char* path = std::getenv("PATH");
  std::string_view dirs = path ? path : "/usr/bin:/bin";
  for (const NeededProgram& needed : programs) {
    bool found = false;
    for (std::size_t start = 0; !found && start <= dirs.size();) {
      std::size_t end = std::min(dirs.find(':', start), dirs.size());
      fs::path dir(std::string(dirs.substr(start, end - start)));
      if (!dir.empty()) found = ::access((dir / needed.program).c_str(), X_OK) == 0;
      start = end + 1;
    }
    if (!found) {
      return std::string(needed.program) + " is not installed (Debian package " +
             std::string(needed.package) + "; ./dev.sh test installs it)";
    }
  }
  return std::nullopt;
}

nlohmann::json findByName(const nlohmann::json& listing, std::string_view filename) {
  if (!listing.is_object() || !listing.contains("items")) return nullptr;
  for (const auto& item : listing["items"])
    if (item.value("filename", std::string()) == filename) return item;
  return nullptr;
}

std::vector<std::string> filenames(const nlohmann::json& listing) {
  std::vector<std::string> names;
  if (!listing.is_object() || !listing.contains("items")) return names;
  for (const auto& item : listing["items"]) names.push_back(item.value("filename", std::string()));
  return names;
}

void SystemTest::SetUp() {
  sandbox_.emplace();
  RunResult seeded = sandbox().seed();
  ASSERT_EQ(seeded.status, 0) << "pell-refhost seed: " << seeded.describe();
  ASSERT_TRUE(sandbox().startHost());
  RunResult registered = sandbox().registerDomain();
  ASSERT_EQ(registered.status, 0) << "pell-domain register: " << registered.describe();
}

void SystemTest::TearDown() {
  if (!sandbox_) return;
  if (HasFailure()) {
    std::cerr << "--- host stderr ---\n"
              << sandbox().hostStderr() << "--- platform log ---\n"
              << sandbox().log() << "--- sandbox " << sandbox().root() << " ---\n";
  }
  sandbox().stopHost();
  RunResult removed = sandbox().removeDomain();
  EXPECT_EQ(removed.status, 0) << "pell-domain remove: " << removed.describe();
  EXPECT_EQ(removed.out, "removed: " + std::string(kDefaultDomain) + "\n");
  sandbox_.reset();
}

nlohmann::json SystemTest::fpctlOk(const std::vector<std::string>& args) {
  RunResult r = sandbox().fpctl(args);
  std::string command;
  for (const auto& a : args) command += " " + a;
  if (r.status != 0 || !r.json.is_object()) {
    ADD_FAILURE() << "fpctl --json" << command << ": " << r.describe();
    return nullptr;
  }
  return r.json;
}

nlohmann::json SystemTest::fpctlError(const std::vector<std::string>& args) {
  RunResult r = sandbox().fpctl(args);
  std::string command;
  for (const auto& a : args) command += " " + a;
  if (r.status != 1 || !r.json.is_object() || !r.json.contains("error")) {
    ADD_FAILURE() << "fpctl --json" << command << " was expected to fail: " << r.describe();
    return nullptr;
  }
  return r.json["error"];
}

nlohmann::json SystemTest::list(const std::string& container) { return fpctlOk({"ls", container}); }

std::string SystemTest::idOf(const std::string& filename, const std::string& container) {
  nlohmann::json item = findByName(list(container), filename);
  if (item.is_null()) {
    ADD_FAILURE() << "no item named \"" << filename << "\" in " << container;
    return "";
  }
  return item["identifier"].get<std::string>();
}

}  // namespace pellora::e2e
