#include "fileprovider/domain.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include <nlohmann/json.hpp>

#include "fileprovider/bundle.h"
#include "fileprovider/dispatch.h"
#include "fileprovider/file_io.h"
#include "fileprovider/file_manager.h"
#include "fileprovider/private_path.h"
#include "fileprovider/scoped_fd.h"

namespace fp {
namespace {

namespace fs = std::filesystem;

using Records = std::vector<DomainRecord>;

fs::path stateDirectory() {
  if (const char* env = std::getenv("FILEPROVIDER_STATE"); env && *env) return env;
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) {
    return fs::path(xdg) / "fileprovider";
  }
  const char* home = std::getenv("HOME");
  return fs::path(home && *home ? home : "/") / ".local" / "state" / "fileprovider";
}

fs::path lockPath(const fs::path& registry) {
  fs::path p = registry;
  p += ".lock";
  return p;
}

// "cannot write <registry>: <reason>", in the Cocoa domain with the code that
// matches the reason.
Error writeError(const fs::path& registry, int errnum) {
  return Error::fromErrno(errnum, FileAccess::kWrite, "cannot write " + registry.string());
}

Error readError(const fs::path& registry, int errnum) {
  return Error::fromErrno(errnum, FileAccess::kRead, "cannot read " + registry.string());
}

Error corruptRegistry(const fs::path& registry, std::string_view reason) {
  return Error::cocoa(kFileReadCorruptFileError,
                      "cannot use " + registry.string() + ": " + std::string(reason));
}

Error notRegistered(const std::string& identifier, const fs::path& registry) {
  return Error{std::string(kFileProviderErrorDomain),
               static_cast<int>(FileProviderErrorCode::kProviderNotFound),
               "no domain \"" + identifier + "\" in " + registry.string()};
}

// The registry names the code that fpctl loads and runs, so it is trusted only
// when nobody but this user could have written it: its folder and the file
// itself must be this user's and not writable by group or others. A missing
// folder is fine (nothing is registered).
Status checkRegistryTrusted(const fs::path& registry, bool fileOpened) {
  struct stat st {};
  const fs::path folder = registry.parent_path();
  if (::lstat(folder.c_str(), &st) != 0 && errno == ENOENT) return Ok{};
  if (auto trusted = checkPrivate(folder, "the domain registry's folder"); !trusted.ok()) {
    return trusted;
  }
  if (!fileOpened) return Ok{};
  return checkPrivate(registry, "the domain registry");
}

// Reads the registry file; a missing file is an empty registry.
StatusOr<Records> readRecordsAt(const fs::path& registry) {
  if (auto trusted = checkRegistryTrusted(registry, false); !trusted.ok())
    return propagate(trusted);
  ScopedFD fd(
      retryOnEintr([&] { return ::open(registry.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC); }));
  if (!fd) {
    if (errno == ENOENT) return Records{};
    if (errno == ELOOP) return propagate(checkRegistryTrusted(registry, true));
    return fail(readError(registry, errno));
  }
  // Checked on the open file itself, so a file swapped in after the check is not read.
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail(readError(registry, errno));
  if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    auto trusted = checkRegistryTrusted(registry, true);
    if (!trusted.ok()) return propagate(trusted);
    return fail(Error::cocoa(kFileReadNoPermissionError, "refusing to use the domain registry " +
                                                             registry.string() +
                                                             ": it changed while it was read"));
  }
  std::string text;
  char buf[16384];
  for (;;) {
    ssize_t n = retryOnEintr([&] { return ::read(fd.get(), buf, sizeof buf); });
    if (n < 0) return fail(readError(registry, errno));
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }

  nlohmann::json doc = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) return fail(corruptRegistry(registry, "not valid JSON"));
  if (!doc.is_object() || !doc.contains("domains") || !doc["domains"].is_array()) {
    return fail(corruptRegistry(registry, "no \"domains\" list"));
  }
  Records records;
  for (const auto& r : doc["domains"]) {
    auto textField = [&](const char* key) -> const std::string* {
      if (!r.is_object()) return nullptr;
      auto it = r.find(key);
      return it != r.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
    };
    const std::string* identifier = textField("identifier");
    const std::string* bundle = textField("bundle");
    if (!identifier || identifier->empty() || !bundle) {
      return fail(corruptRegistry(registry, "a domain record lacks its identifier or bundle"));
    }
    DomainRecord record;
    record.domain.identifier = *identifier;
    record.bundle = *bundle;
    if (auto it = r.find("displayName"); it != r.end()) {
      if (!it->is_string()) return fail(corruptRegistry(registry, "a display name is not text"));
      record.domain.displayName = it->get<std::string>();
    }
    if (auto it = r.find("hidden"); it != r.end()) {
      if (!it->is_boolean())
        return fail(corruptRegistry(registry, "\"hidden\" is not true or false"));
      record.domain.hidden = it->get<bool>();
    }
    records.push_back(std::move(record));
  }
  return records;
}

StatusOr<std::string> serialize(const Records& records, const fs::path& registry) {
  // Keys in the order people expect to read them.
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const auto& r : records) {
    list.push_back({{"identifier", r.domain.identifier},
                    {"displayName", r.domain.displayName},
                    {"hidden", r.domain.hidden},
                    {"bundle", r.bundle.string()}});
  }
  try {
    return nlohmann::ordered_json{{"domains", std::move(list)}}.dump(2) + "\n";
  } catch (const nlohmann::json::type_error&) {
    // JSON holds Unicode text only; a name or path that is not UTF-8 is refused
    // rather than altered.
    return fail(Error::cocoa(kPropertyListWriteInvalidError,
                             "cannot write " + registry.string() +
                                 ": a domain's identifier, name or bundle path is not UTF-8"));
  }
}

// Replaces the registry file with `records` in one step: other readers see the
// old file or the new one, never a part of it.
Status writeRecordsAt(const fs::path& registry, const Records& records) {
  auto text = serialize(records, registry);
  if (!text.ok()) return propagate(text);
  if (auto replaced = replaceDurably(registry, *text, TemporaryName::kUnique); !replaced) {
    return fail(writeError(registry, replaced.error().code));
  }
  return Ok{};
}

// Runs `change` on the registry's records under an exclusive lock shared with
// every other process that changes the registry, and writes the result back when
// `change` asks for it (returns true).
template <class Change>
Status changeRegistry(Change&& change) {
  const fs::path registry = domainRegistryPath();
  if (std::error_code ec = createPrivateDirectories(registry.parent_path())) {
    // A file standing where the state directory belongs reads better as ENOTDIR.
    int errnum = ec == std::errc::file_exists ? ENOTDIR : ec.value();
    return fail(writeError(registry, errnum));
  }

  if (auto trusted = checkRegistryTrusted(registry, false); !trusted.ok()) return trusted;

  const fs::path lock = lockPath(registry);
  ScopedFD lockFd(retryOnEintr([&] {
    return ::open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kPrivateFileMode);
  }));
  if (!lockFd) return fail(writeError(registry, errno));
  if (retryOnEintr([&] { return ::flock(lockFd.get(), LOCK_EX); }) != 0) {
    return fail(writeError(registry, errno));
  }

  auto records = readRecordsAt(registry);
  if (!records.ok()) return propagate(records);
  StatusOr<bool> write = change(*records, registry);
  if (!write.ok()) return propagate(write);
  if (!*write) return Ok{};
  return writeRecordsAt(registry, *records);
  // The lock goes with lockFd, after the new file is in place.
}

std::optional<Error> toOptional(Status status) {
  if (status.ok()) return std::nullopt;
  return std::move(status).error();
}

// Completion handlers run on a queue thread, never on the caller's.
void complete(std::function<void()> work) { globalQueue(QoS::kDefault).async(std::move(work)); }

}  // namespace

fs::path domainRegistryPath() { return stateDirectory() / "domains.json"; }

StatusOr<std::vector<DomainRecord>> readDomainRecords() {
  return readRecordsAt(domainRegistryPath());
}

StatusOr<DomainRecord> findDomainRecord(const std::string& identifier) {
  const fs::path registry = domainRegistryPath();
  auto records = readRecordsAt(registry);
  if (!records.ok()) return propagate(records);
  for (auto& r : *records) {
    if (r.domain.identifier == identifier) return std::move(r);
  }
  return fail(notRegistered(identifier, registry));
}

std::shared_ptr<Manager> Manager::forDomain(const Domain& domain) {
  return std::make_shared<Manager>(domain);
}

void Manager::addDomain(const Domain& domain, std::function<void(std::optional<Error>)> handler) {
  complete([domain, handler = std::move(handler)] {
    if (domain.identifier.empty()) {
      handler(Error::cocoa(kFileWriteInvalidFileNameError, "a domain needs an identifier"));
      return;
    }
    auto bundle = callingProgramBundle();
    if (!bundle.ok()) {
      handler(std::move(bundle).error());
      return;
    }
    handler(toOptional(changeRegistry([&](Records& records, const fs::path&) -> StatusOr<bool> {
      DomainRecord record{domain, *bundle};
      auto same = [&](const DomainRecord& r) { return r.domain.identifier == domain.identifier; };
      auto it = std::find_if(records.begin(), records.end(), same);
      if (it == records.end()) {
        records.push_back(std::move(record));
      } else {
        *it = std::move(record);  // re-adding replaces the record in its place
        records.erase(std::remove_if(std::next(it), records.end(), same), records.end());
      }
      return true;
    })));
  });
}

void Manager::getDomains(
    std::function<void(std::vector<Domain> domains, std::optional<Error>)> handler) {
  complete([handler = std::move(handler)] {
    auto records = readDomainRecords();
    if (!records.ok()) {
      handler({}, std::move(records).error());
      return;
    }
    std::vector<Domain> domains;
    domains.reserve(records->size());
    for (auto& r : *records) domains.push_back(std::move(r.domain));
    handler(std::move(domains), std::nullopt);
  });
}

void Manager::removeDomain(const Domain& domain,
                           std::function<void(std::optional<Error>)> handler) {
  complete([domain, handler = std::move(handler)] {
    handler(toOptional(
        changeRegistry([&](Records& records, const fs::path& registry) -> StatusOr<bool> {
          auto removed = std::remove_if(records.begin(), records.end(), [&](const auto& r) {
            return r.domain.identifier == domain.identifier;
          });
          if (removed == records.end()) return fail(notRegistered(domain.identifier, registry));
          records.erase(removed, records.end());
          return true;
        })));
  });
}

}  // namespace fp
