// The command line of pell-refhost:
//   pell-refhost seed --store DIR
//   pell-refhost serve --store DIR [--account ID] [--delay-ms N] [--fail OP=KIND]...
//                      [--no-reply OP]...
//   pell-refhost --help
#ifndef PELLORA_REFHOST_CLI_H_
#define PELLORA_REFHOST_CLI_H_

#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include "fileprovider/result.h"
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

// Parses the arguments after the program name; a failure is a message for
// the user (a usage error).
[[nodiscard]] fp::Result<Command, std::string> parseCommandLine(
    const std::vector<std::string>& args);

// The text of --help.
[[nodiscard]] std::string usageText();

}  // namespace refhost

#endif  // PELLORA_REFHOST_CLI_H_
