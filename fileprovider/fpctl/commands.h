// fpctl's commands: each makes its request through a Runner and prints the
// outcome, as JSON (--json) or as text for people, and returns the exit status.
#ifndef FPCTL_COMMANDS_H_
#define FPCTL_COMMANDS_H_

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fileprovider/domain.h"
#include "fileprovider/extension.h"
#include "fileprovider/fpctl/command_line.h"
#include "fileprovider/fpctl/host.h"
#include "fileprovider/fpctl/mount/mount.h"
#include "fileprovider/fpctl/render.h"

namespace fpctl {

// What the commands need from the outside world; main() fills it with the real
// things, tests with their own.
struct Environment {
  Environment(std::ostream& output, std::ostream& errors) : out(output), err(errors) {}

  std::ostream& out;
  std::ostream& err;
  // Standard error is a terminal: fetch draws a progress bar on it.
  bool errIsTerminal = false;
  // Chooses the domain and loads its extension (see host.h).
  std::function<fp::Result<LoadedExtension, CommandFailure>(const GlobalOptions&)> load =
      loadExtension;
  // Reads the domain registry (for `domains`).
  std::function<fp::StatusOr<std::vector<fp::DomainRecord>>()> registry = fp::readDomainRecords;
  // Serves a domain through FUSE (for `mount`).
  std::function<int(const fp::Domain&, std::shared_ptr<fp::ReplicatedExtension>,
                    const MountOptions&)>
      mount;
  // Directs the platform log to a file (for --log), or back to where it went
  // before for an empty path; none: --log is ignored.
  std::function<void(const std::filesystem::path&)> setLogFile;
  // The file the platform log goes to ($FILEPROVIDER_LOG, or --log); none: the
  // log goes elsewhere and failures are shown without the extension's reason.
  std::optional<std::filesystem::path> logFile;
  // Where a run without a log file keeps a log of its own (see log_reason.h);
  // none: such a run has none.
  std::optional<std::filesystem::path> privateLogFolder;
  TextOptions text;
};

// Parses the arguments after the program name and runs the command. Usage
// errors print the reason and the command's usage line on standard error and
// return 2; help goes to standard output.
int runCommandLine(const std::vector<std::string>& args, Environment& env);

// Runs a parsed command line (help already handled).
int runCommand(const CommandLine& cl, Environment& env);

}  // namespace fpctl

#endif  // FPCTL_COMMANDS_H_
