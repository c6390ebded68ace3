// Which domain fpctl serves and which extension bundle serves it, and loading
// that bundle into the process.
#ifndef FPCTL_HOST_H_
#define FPCTL_HOST_H_

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fileprovider/domain.h"
#include "fileprovider/error.h"
#include "fileprovider/extension.h"
#include "fileprovider/fpctl/command_failure.h"
#include "fileprovider/fpctl/command_line.h"

namespace fpctl {

struct DomainChoice {
  fp::Domain domain;
  std::filesystem::path bundle;
};

// Picks the domain and bundle from the registry's records and the options:
// --domain names the domain (default: the only registered one); --bundle names
// the bundle (default: the one registered for the domain). A domain given with
// --bundle but not registered is served under its identifier as display name.
// Every other gap is a usage failure whose message lists the registered domains;
// when none is registered it names the registry file it read
// (fp::domainRegistryPath()) and whether FILEPROVIDER_STATE chose it, since a
// shell without the variable reads another registry.
fp::Result<DomainChoice, CommandFailure> chooseDomain(const std::vector<fp::DomainRecord>& records,
                                                      const GlobalOptions& options);

struct LoadedExtension {
  fp::Domain domain;
  std::shared_ptr<fp::ReplicatedExtension> extension;
  // Lines for standard error about the set-up, printed before the command runs.
  std::vector<std::string> warnings;
};

// The extensions this host serves reach their host application through the
// socket "fp.sock" in their application-group container, and accept a socket
// path of at most 103 bytes.
inline constexpr std::string_view kExtensionSocketName = "fp.sock";
inline constexpr std::size_t kMaxExtensionSocketPathBytes = 103;

// One line saying that the socket in `container` lies beyond the extension's
// reach and which variable to set; none when it fits.
[[nodiscard]] std::optional<std::string> socketPathWarning(const std::filesystem::path& container);

// A line of advice for a failure the extension logged (`logged`, its log line's
// message), when fpctl has one: for the extension's "socket path too long: "
// failure, the limit and the variable to set.
[[nodiscard]] std::optional<std::string> adviceFor(std::string_view logged);

// Reads the registry, chooses the domain, loads its bundle (status 3 when that
// fails) and constructs the extension for the domain.
fp::Result<LoadedExtension, CommandFailure> loadExtension(const GlobalOptions& options);

}  // namespace fpctl

#endif  // FPCTL_HOST_H_
