#include "scale/support.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "bench_support.h"

namespace pellora::bench::scale {

double secondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool sh(const std::string& command, const fs::path& home) {
  if (waitFor(spawnIn({"/bin/sh", "-c", command}, home, home / "sh.out")) == 0) return true;
  std::ifstream in(home / "sh.out");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.size() > 2000) text = "..." + text.substr(text.size() - 2000);
  std::printf("  failed: %s\n%s\n", command.c_str(), text.c_str());
  return false;
}

bool haveProgram(const char* name) {
  return std::system((std::string("command -v ") + name + " > /dev/null 2>&1").c_str()) == 0;
}

nlohmann::json call(const fs::path& socket, const nlohmann::json& request) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    std::string line = request.dump() + "\n";
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
      char buf[4096];
      ssize_t n;
      while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return nlohmann::json::parse(reply, nullptr, false);
}

Resident residentOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  Resident r;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) r.now = std::strtod(line.c_str() + 6, nullptr) * 1024;
    if (line.rfind("VmHWM:", 0) == 0) r.peak = std::strtod(line.c_str() + 6, nullptr) * 1024;
  }
  return r;
}

std::optional<fs::path> makeSandbox() {
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/pscale.XXXXXX";
  if (!::mkdtemp(tmpl.data())) {
    std::perror("mkdtemp");
    return std::nullopt;
  }
  return fs::path(tmpl);
}

void show(const char* what, std::optional<double> ratio, const char* target) {
  if (ratio) {
    std::printf("  %-66s %7.2fx (target %s)\n", what, *ratio, target);
  } else {
    std::printf("  %-66s     n/a (target %s)\n", what, target);
  }
}

}  // namespace pellora::bench::scale
