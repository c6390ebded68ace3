// The command line of pell-refhost:
//   pell-refhost seed --store DIR
//   pell-refhost serve --store DIR [--account ID] [--delay-ms N] [--fail OP=KIND]...
//                      [--no-reply OP]...
//   pell-refhost --help
#ifndef PELLORA_REFHOST_CLI_H_
#define PELLORA_REFHOST_CLI_H_

#include <filesystem>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fileprovider/error.h"
#include "reference-host/server.h"

namespace refhost {

struct SeedCommand {
  std::filesystem::path store;
};

struct ServeCommand {
  std::filesystem::path store;
  std::string account = "primary";
  FaultPlan faults;
};

struct HelpCommand {};

using Command = std::variant<SeedCommand, ServeCommand, HelpCommand>;

// The domain and code of a usage error: the command line is wrong. The code is
// the exit status such a run ends with.
inline constexpr std::string_view kUsageErrorDomain = "usage";
inline constexpr int kUsageErrorCode = 2;

// Parses the arguments after the program name; a failure is a usage error
// whose message is for the user.
[[nodiscard]] fp::StatusOr<Command> parseCommandLine(const std::vector<std::string>& args);

// The text of --help.
[[nodiscard]] std::string usageText();

}  // namespace refhost

#endif  // PELLORA_REFHOST_CLI_H_
