// What the mount's end-to-end tests share: the seeded store served by
// pell-refhost, the domain mounted through FUSE with `fpctl mount` (always
// taken down again, so a failing test never leaves a mount behind), and
// helpers to compare trees and read `fpctl status`.
#ifndef TESTS_E2E_MOUNT_FIXTURE_H_
#define TESTS_E2E_MOUNT_FIXTURE_H_

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fileprovider/fpctl/mount/mount_table.h"
#include "tests/e2e/harness.h"

namespace pellora::e2e {

namespace fs = std::filesystem;

inline std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void spit(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

inline std::string randomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

// Every file and folder under `root` (relative paths; folders end in "/") with
// the files' bytes, leaving out the reference host's own folder. A tree that
// changes meanwhile (a store still taking changes) gives what was seen.
inline std::map<std::string, std::string> tree(const fs::path& root) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::string rel = it->path().lexically_relative(root).string();
    if (rel == ".refhost") {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_directory()) {
      out[rel + "/"] = "";
    } else {
      out[rel] = slurp(it->path());
    }
  }
  return out;
}

inline bool isMountPoint(const fs::path& path) {
  return !fpctl::mount::mountAt(path).device.empty();
}

// Mounts the sandbox's domain at <sandbox>/mnt with `fpctl mount` and always
// takes it down again, so a failing test never leaves a mount behind.
class MountTest : public SystemTest {
 protected:
  void SetUp() override {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
      GTEST_SKIP() << "/dev/fuse is not available here: the mount cannot be tested";
    }
    SystemTest::SetUp();
    if (HasFatalFailure()) return;
    mnt_ = sandbox().root() / "mnt";
    fs::create_directories(mnt_);
    ASSERT_TRUE(mount());
  }

  void TearDown() override {
    unmount();
    if (HasFailure()) std::cerr << "--- fpctl mount output ---\n" << mountOutput() << "\n";
    SystemTest::TearDown();
  }

  bool mount(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {Programs::fpctl(), "mount",  mnt_.string(),
                                     "--foreground",    "--poll", "1"};
    if (!defaultCache_) {
      argv.insert(argv.end(), {"--cache", (sandbox().root() / "cache").string()});
    }
    argv.insert(argv.end(), mode_.begin(), mode_.end());
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<std::string> env = sandbox().environment(mountEnv_);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::string out = (sandbox().root() / "mount.out").string();
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      ADD_FAILURE() << "cannot start fpctl: " << std::strerror(rc);
      pid_ = -1;
      return false;
    }
    if (!waitUntil([&] { return isMountPoint(mnt_) || !running(); })) {
      ADD_FAILURE() << "not mounted after 10 s";
      return false;
    }
    if (!running()) {
      ADD_FAILURE() << "fpctl mount exited with status " << status_;
      return false;
    }
    return true;
  }

  bool running() {
    if (pid_ <= 0) return false;
    int st = 0;
    if (::waitpid(pid_, &st, WNOHANG) == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      pid_ = -1;
      return false;
    }
    return true;
  }

  // Waits up to `timeout` for fpctl to end; its exit status, or -1 if it still runs.
  int waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    waitUntil([&] { return !running(); }, timeout);
    return running() ? -1 : status_;
  }

  void unmount() {
    if (isMountPoint(mnt_)) {
      RunResult u = sandbox().run({"/bin/fusermount3", "-u", mnt_.string()});
      if (u.status != 0) sandbox().run({"/bin/fusermount3", "-u", "-z", mnt_.string()});
    }
    if (running() && waitForExit(std::chrono::seconds(10)) < 0) {
      ::kill(pid_, SIGKILL);
      waitForExit(std::chrono::seconds(5));
    }
    if (isMountPoint(mnt_)) sandbox().run({"/bin/fusermount3", "-u", "-z", mnt_.string()});
  }

  // Takes the mount down and mounts again in the default close mode or with --write-back.
  bool remountIn(bool writeBack) {
    unmount();
    mode_ = writeBack ? std::vector<std::string>{"--write-back"} : std::vector<std::string>{};
    return mount();
  }

  std::string mountOutput() { return slurp(sandbox().root() / "mount.out"); }

  // Runs a shell command line in the sandbox; paths are best given absolute.
  RunResult sh(const std::string& command,
               std::chrono::seconds timeout = std::chrono::seconds(60)) {
    RunOptions o;
    o.timeout = timeout;
    return sandbox().run({"/bin/sh", "-c", command}, o);
  }
  RunResult shOk(const std::string& command) {
    RunResult r = sh(command);
    // 127: the shell found no such program.
    EXPECT_EQ(r.status, 0) << command << ": " << r.describe()
                           << (r.status == 127 ? "\na program it runs is not installed" : "");
    return r;
  }

  std::string m(const std::string& rel = "") const {
    return rel.empty() ? mnt_.string() : (mnt_ / rel).string();
  }
  std::string q(const std::string& rel = "") const { return "'" + m(rel) + "'"; }
  fs::path scratch(const std::string& rel) { return sandbox().root() / "scratch" / rel; }

  // A tree of small, empty and larger files in folders, under scratch(name).
  fs::path makeTree(const std::string& name) {
    fs::path root = scratch(name);
    spit(root / "a.txt", "alpha\n");
    spit(root / "empty", "");
    spit(root / "sub" / "b.bin", randomBytes(300000, 1));
    spit(root / "sub" / "deeper" / "c.txt", "gamma\n");
    spit(root / "sub" / "deeper" / "big.bin", randomBytes(3 << 20, 2));
    fs::create_directories(root / "hollow");
    return root;
  }

  // Files of 300 KB each, `names` in the store, and the domain mounted again
  // with `options` over an empty cache folder (returned with the contents).
  std::map<std::string, std::string> remountOverEmptyCache(const std::vector<std::string>& names,
                                                           unsigned seed,
                                                           const std::vector<std::string>& options,
                                                           fs::path* cache) {
    std::map<std::string, std::string> files;
    for (const auto& name : names) {
      files[name] = randomBytes(300 << 10, ++seed);
      sandbox().writeStore(name, files[name]);
    }
    EXPECT_TRUE(waitUntil([&] { return fs::exists(mnt_ / names.back()); }));
    unmount();
    *cache = sandbox().root() / "cache";
    fs::remove_all(*cache);
    EXPECT_TRUE(mount(options));
    return files;
  }

  fs::path mnt_;
  std::vector<std::string> mode_;  // options every mount() passes, as --write-back
  // Variables every mount() adds to fpctl's environment, as NOTIFY_SOCKET.
  std::vector<std::pair<std::string, std::string>> mountEnv_;
  bool defaultCache_ = false;  // mount() passes no --cache
  pid_t pid_ = -1;
  int status_ = -1;
};

inline nlohmann::json cacheStatus(Sandbox& sandbox) {
  RunResult r = sandbox.fpctl({"status", "--cache", (sandbox.root() / "cache").string()});
  EXPECT_EQ(r.status, 0) << r.describe();
  if (!r.isJson || r.json["mounts"].empty()) return nlohmann::json::object();
  return r.json["mounts"][0];
}

// The contents of the files `fpctl status` lists as refused, with the reasons.
inline std::map<std::string, std::string> refusedWithReasons(const nlohmann::json& status) {
  std::map<std::string, std::string> out;
  if (!status.contains("refused")) return out;
  for (const auto& r : status["refused"]) {
    EXPECT_FALSE(r["reason"].get<std::string>().empty());
    out[slurp(r["path"].get<std::string>())] = r["reason"].get<std::string>();
  }
  return out;
}

inline std::vector<std::string> refusedContents(const nlohmann::json& status) {
  std::vector<std::string> out;
  for (const auto& [contents, reason] : refusedWithReasons(status)) out.push_back(contents);
  return out;
}

}  // namespace pellora::e2e

#endif  // TESTS_E2E_MOUNT_FIXTURE_H_
