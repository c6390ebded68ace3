// File-provider domains and the domain manager, with the persistent domain registry.
#ifndef FILEPROVIDER_DOMAIN_H_
#define FILEPROVIDER_DOMAIN_H_

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fileprovider/error.h"

namespace fp {

struct Domain {
  std::string identifier;
  std::string displayName;
  bool hidden = false;
  friend bool operator==(const Domain&, const Domain&) = default;
};

// One record of the registry: a domain and the extension bundle that serves it.
struct DomainRecord {
  Domain domain;
  std::filesystem::path bundle;
};

// The registry file: $FILEPROVIDER_STATE/domains.json, by default
// ${XDG_STATE_HOME:-$HOME/.local/state}/fileprovider/domains.json.
std::filesystem::path domainRegistryPath();

// Reads every record of the registry. A missing file is an empty registry; a file
// that cannot be read or parsed is an error.
StatusOr<std::vector<DomainRecord>> readDomainRecords();

// The record of one domain; an error with code FileProviderErrorCode::kProviderNotFound
// when no domain has that identifier.
StatusOr<DomainRecord> findDomainRecord(const std::string& identifier);

// NSFileProviderManager.
class Manager {
 public:
  // The manager of `domain`. Always yields one on this platform.
  static std::shared_ptr<Manager> forDomain(const Domain& domain);

  const Domain& domain() const { return domain_; }

  // Each completes on a thread other than the caller's.
  // Registers `domain` with the bundle of the calling program (see bundle.h,
  // callingProgramBundle); a domain already registered has its record replaced.
  static void addDomain(const Domain& domain, std::function<void(std::optional<Error>)> handler);
  static void getDomains(
      std::function<void(std::vector<Domain> domains, std::optional<Error>)> handler);
  static void removeDomain(const Domain& domain, std::function<void(std::optional<Error>)> handler);

  explicit Manager(Domain domain) : domain_(std::move(domain)) {}

 private:
  Domain domain_;
};

}  // namespace fp

#endif  // FILEPROVIDER_DOMAIN_H_
