// What the mount and scale benchmarks share: starting the platform's programs
// in a sandbox, waiting for them, and the large file they read.
#ifndef PELLORA_BENCH_BENCH_SUPPORT_H_
#define PELLORA_BENCH_BENCH_SUPPORT_H_

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fileprovider/fpctl/mount/mount_table.h"

extern char** environ;

namespace pellora::bench {

inline bool isMountPoint(const std::filesystem::path& path) {
  return !fpctl::mount::mountAt(path).device.empty();
}

// Polls `condition` every 20 ms; false once `timeout` has passed.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(120)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The exit status of `pid` (128 + signal when killed); -1 for no process.
inline int waitFor(pid_t pid) {
  if (pid < 0) return -1;
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Starts `argv` (looked up on PATH) with the platform's folders of `home` in
// its environment and its output appended to `output`; -1 when it cannot.
inline pid_t spawnIn(const std::vector<std::string>& argv, const std::filesystem::path& home,
                     const std::filesystem::path& output) {
  std::vector<std::string> env = {"FILEPROVIDER_CONTAINERS=" + (home / "containers").string(),
                                  "FILEPROVIDER_STATE=" + (home / "state").string(),
                                  "FILEPROVIDER_LOG=" + (home / "platform.log").string(),
                                  "FILEPROVIDER_BUNDLE=" PELLORA_BUNDLE_DIR};
  for (char** e = environ; *e; ++e) {
    if (std::string(*e).rfind("FILEPROVIDER_", 0) != 0) env.emplace_back(*e);
  }
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Writes `bytes` of a fixed pattern to `path`, on disk and out of the page cache.
inline void writeBigFile(const std::filesystem::path& path, std::size_t bytes) {
  std::string chunk(1 << 20, '\0');
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 31 + 7);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  for (std::size_t n = 0; n < bytes; n += chunk.size()) {
    if (::write(fd, chunk.data(), chunk.size()) < 0) break;
  }
  ::fdatasync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

}  // namespace pellora::bench

#endif  // PELLORA_BENCH_BENCH_SUPPORT_H_
