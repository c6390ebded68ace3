#include "fileprovider/fpctl/mount/host_answers.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include <nlohmann/json.hpp>

#include "fileprovider/domain.h"
#include "fileprovider/file_manager.h"
#include "fileprovider/fpctl/mount/cache_folder.h"
#include "fileprovider/scoped_fd.h"

namespace fpctl::mount {
namespace fs = std::filesystem;
namespace {

// The socket the extension's bridge connects to, in its group's folder.
constexpr const char* kHostSocketName = "fp.sock";

// The application groups the bundle at `bundle` declares; none when its
// Info.json cannot be read.
std::optional<std::vector<std::string>> groupsOf(const fs::path& bundle) {
  auto text = readCacheFile(bundle / "Info.json");
  if (!text) return std::nullopt;
  try {
    auto info = nlohmann::json::parse(*text);
    return info.value("ApplicationGroups", std::vector<std::string>());
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

bool takesConnection(const fs::path& socketPath) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = socketPath.string();
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  fp::ScopedFD fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return false;
  // A listener that is there takes it (or has its backlog full: EAGAIN).
  int r = fp::retryOnEintr(
      [&] { return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr); });
  return r == 0 || errno == EAGAIN;
}

}  // namespace

std::optional<bool> hostAnswers(const std::string& domain) {
  if (domain.empty()) return std::nullopt;
  auto record = fp::findDomainRecord(domain);
  if (!record.ok()) return std::nullopt;
  auto groups = groupsOf(record->bundle);
  if (!groups || groups->empty()) return std::nullopt;
  // The extension is entitled to them; fpctl reaches them on its behalf.
  fp::declareApplicationGroups(*groups);
  for (const auto& group : *groups) {
    auto container = fp::FileManager::defaultManager().containerURL(group);
    if (container && takesConnection(*container / kHostSocketName)) return true;
  }
  return false;
}

}  // namespace fpctl::mount
