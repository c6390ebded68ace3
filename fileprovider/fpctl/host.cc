#include "fileprovider/fpctl/host.h"

#include <cstdlib>

#include "fileprovider/bundle.h"
#include "fileprovider/file_manager.h"

namespace fpctl {

namespace {

std::string registeredList(const std::vector<fp::DomainRecord>& records) {
  if (records.empty()) return "no domain is registered";
  std::string s = "registered: ";
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i) s += ", ";
    s += records[i].domain.identifier;
  }
  return s;
}

fp::Failure<CommandFailure> usageFailure(std::string message) {
  return fp::fail(CommandFailure{kExitUsage, "fpctl: " + std::move(message), std::nullopt});
}

}  // namespace

fp::Result<DomainChoice, CommandFailure> chooseDomain(const std::vector<fp::DomainRecord>& records,
                                                      const GlobalOptions& options) {
  const fp::DomainRecord* record = nullptr;
  if (options.domain) {
    for (const auto& r : records)
      if (r.domain.identifier == *options.domain) record = &r;
  } else if (records.size() == 1) {
    record = &records.front();
  } else if (records.empty()) {
    const char* state = std::getenv("FILEPROVIDER_STATE");
    return usageFailure("no domain is registered in " + fp::domainRegistryPath().string() +
                        (state && *state ? " (FILEPROVIDER_STATE=" + std::string(state) + ")"
                                         : " (FILEPROVIDER_STATE is not set)") +
                        ": register one (pell-domain register), set FILEPROVIDER_STATE as where "
                        "it was registered, or give --domain ID --bundle DIR");
  } else {
    return usageFailure("several domains are registered; choose one with --domain ID (" +
                        registeredList(records) + ")");
  }

  if (record) {
    DomainChoice c{record->domain, options.bundle ? *options.bundle : record->bundle};
    return c;
  }
  if (options.bundle) {
    fp::Domain d;
    d.identifier = *options.domain;
    d.displayName = *options.domain;
    return DomainChoice{std::move(d), *options.bundle};
  }
  return usageFailure("domain " + *options.domain + " is not registered (" +
                      registeredList(records) + "); give --bundle DIR to serve it anyway");
}

fp::Result<LoadedExtension, CommandFailure> loadExtension(const GlobalOptions& options) {
  auto records = fp::readDomainRecords();
  std::vector<fp::DomainRecord> known;
  if (records) {
    known = std::move(records).value();
  } else if (!(options.domain && options.bundle)) {
    // Without the registry only an explicit domain and bundle can be served.
    fp::Error e = std::move(records).error();
    std::string message = "fpctl: cannot read the domain registry " +
                          fp::domainRegistryPath().string() + ": " + e.description();
    return fp::fail(CommandFailure{kExitFailed, std::move(message), std::move(e)});
  }

  auto choice = chooseDomain(known, options);
  if (!choice) return fp::propagate(choice);

  auto bundle = fp::ExtensionBundle::load(choice->bundle);
  if (!bundle) {
    fp::Error e = std::move(bundle).error();
    std::string message = "fpctl: cannot load the extension bundle " + choice->bundle.string() +
                          " for " + choice->domain.identifier + ": " + e.description();
    return fp::fail(CommandFailure{kExitBadBundle, std::move(message), std::move(e)});
  }
  auto extension = (*bundle)->makeExtension(choice->domain);
  if (!extension) {
    fp::Error e = fp::Error::fileProvider(fp::FileProviderErrorCode::kProviderNotFound);
    e.message = "the bundle made no extension object";
    std::string message = "fpctl: the extension bundle " + choice->bundle.string() +
                          " made no extension for " + choice->domain.identifier;
    return fp::fail(CommandFailure{kExitBadBundle, std::move(message), std::move(e)});
  }
  LoadedExtension loaded{choice->domain, std::move(extension), {}};
  for (const std::string& group : (*bundle)->declaredGroups()) {
    auto container = fp::applicationGroupContainer(group);
    if (!container.ok()) {
      loaded.warnings.push_back("fpctl: the container of " + group +
                                " cannot be used: " + container.error().message);
      continue;
    }
    if (auto warning = socketPathWarning(*container)) loaded.warnings.push_back(*warning);
  }
  return loaded;
}

std::optional<std::string> socketPathWarning(const std::filesystem::path& container) {
  const std::filesystem::path socket = container / std::string(kExtensionSocketName);
  const std::size_t size = socket.native().size();
  if (size <= kMaxExtensionSocketPathBytes) return std::nullopt;
  return "fpctl: the socket path " + socket.string() + " is " + std::to_string(size) +
         " bytes, longer than the " + std::to_string(kMaxExtensionSocketPathBytes) +
         " the extension accepts; set FILEPROVIDER_CONTAINERS to a shorter folder";
}

std::optional<std::string> adviceFor(std::string_view logged) {
  if (logged.find("socket path too long: ") == std::string_view::npos) return std::nullopt;
  return "fpctl: the extension's socket path (" + std::string(kExtensionSocketName) +
         " in its app-group container) may be at most " +
         std::to_string(kMaxExtensionSocketPathBytes) +
         " bytes; set FILEPROVIDER_CONTAINERS to a shorter folder";
}

}  // namespace fpctl
