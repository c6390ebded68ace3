// pell-domain's own logic, apart from the platform: which operation the command
// line asks for, and what each outcome prints and returns.
#ifndef PELLORA_DOMAIN_TOOL_COMMAND_H_
#define PELLORA_DOMAIN_TOOL_COMMAND_H_

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fileprovider/domain.h"

namespace pellora::domaintool {

inline constexpr std::string_view kDomainIdentifier =
    "de.brightfold.pellora-connect-desktop.default";
inline constexpr std::string_view kDomainDisplayName = "Pellora Connect";
// The application group the tool is entitled to, declared at start.
inline constexpr std::string_view kAppGroup = "QZ3RMT5XK9.de.brightfold.pellora-connect-desktop";

enum class Operation { kUsage, kRegister, kRemove };

// Exactly one argument, "register" or "remove" (whole and case-sensitive);
// anything else asks for the usage line. `args` excludes the program name.
[[nodiscard]] Operation decideOperation(std::span<const std::string_view> args);
[[nodiscard]] Operation decideOperation(int argc, const char* const* argv);

enum class Situation {
  kWrongArgument,
  kAdded,
  kAddingFailed,
  kListingFailed,
  kNotRegistered,
  kRemovingFailed,
  kRemoved,
};

enum class Stream { kStandardOutput, kStandardError };

// What a run prints (one line, ending in a line feed) and its exit status.
struct Outcome {
  Stream stream;
  std::string line;
  int exitStatus;
  friend bool operator==(const Outcome&, const Outcome&) = default;
};

// The outcome of `situation`; `errorText` (the platform's description of the
// error) completes the line of the three failures and is ignored otherwise.
[[nodiscard]] Outcome outcomeOf(Situation situation, std::string_view errorText = {});

// What the platform's answer to a removal means: removed when there is no
// error; not registered when the domain was gone already (another removal got
// there first between listing and removing); a failure otherwise.
[[nodiscard]] Situation removalSituation(const std::optional<fp::Error>& error);

// The default domain: its identifier and display name, not hidden.
[[nodiscard]] fp::Domain defaultDomain();

// The first of `domains` whose identifier is the default domain's, if any.
[[nodiscard]] std::optional<fp::Domain> findDefaultDomain(const std::vector<fp::Domain>& domains);

}  // namespace pellora::domaintool

#endif  // PELLORA_DOMAIN_TOOL_COMMAND_H_
