#include "fileprovider/fpctl/mount/queued_creation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "fileprovider/scoped_fd.h"

namespace fpctl::mount {
namespace {

// Whether two files hold the same bytes; false for anything but two regular
// files (a fetched path is opened without blocking).
bool sameContents(const std::filesystem::path& a, const std::filesystem::path& b) {
  fp::ScopedFD fa(
      fp::retryOnEintr([&] { return ::open(a.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
  fp::ScopedFD fb(
      fp::retryOnEintr([&] { return ::open(b.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
  struct stat sa {
  }, sb{};
  if (!fa || !fb || fstat(fa.get(), &sa) != 0 || fstat(fb.get(), &sb) != 0) return false;
  if (!S_ISREG(sa.st_mode) || !S_ISREG(sb.st_mode) || sa.st_size != sb.st_size) return false;
  std::vector<char> ba(1 << 16), bb(1 << 16);
  for (off_t at = 0; at < sa.st_size;) {
    ssize_t na = fp::retryOnEintr([&] { return pread(fa.get(), ba.data(), ba.size(), at); });
    ssize_t nb = fp::retryOnEintr([&] { return pread(fb.get(), bb.data(), bb.size(), at); });
    if (na <= 0 || na != nb) return false;
    if (std::memcmp(ba.data(), bb.data(), static_cast<std::size_t>(na)) != 0) return false;
    at += na;
  }
  return true;
}

}  // namespace

std::optional<ItemState> sameCreation(ProviderClient& provider, const QueuedChange& change) {
  auto children = provider.list(change.parent);
  if (!children) return std::nullopt;
  for (const auto& child : *children) {
    if (child.isFolder || child.filename != change.filename || child.size != change.size) continue;
    auto fetched = provider.fetch(child.identifier, child.version);
    if (fetched && sameContents(fetched->path, change.data)) return child;
  }
  return std::nullopt;
}

void OwnCreations::note(const QueuedChange& change, const fp::ItemIdentifier& identifier) {
  std::lock_guard lock(mu_);
  made_[change.placeKey()] = identifier;
}

std::optional<ItemState> OwnCreations::stillThere(ProviderClient& provider,
                                                  const QueuedChange& change) {
  fp::ItemIdentifier made;
  {
    std::lock_guard lock(mu_);
    auto it = made_.find(change.placeKey());
    if (it == made_.end()) return std::nullopt;
    made = it->second;
  }
  auto children = provider.list(change.parent);
  if (!children) return std::nullopt;
  for (const auto& child : *children) {
    if (child.identifier == made && child.filename == change.filename && !child.isFolder) {
      return child;
    }
  }
  return std::nullopt;
}

}  // namespace fpctl::mount
