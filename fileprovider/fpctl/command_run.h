// A command being run: its command line, the outside world, the loaded
// extension, and the ways a handler prints its outcome. Internal to fpctl's
// commands (queries.cc, contents.cc, writes.cc, mount_command.cc,
// local_copies.cc).
#ifndef FPCTL_COMMAND_RUN_H_
#define FPCTL_COMMAND_RUN_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "fileprovider/domain.h"
#include "fileprovider/error.h"
#include "fileprovider/extension.h"
#include "fileprovider/fpctl/commands.h"
#include "fileprovider/fpctl/render.h"
#include "fileprovider/fpctl/requests/runner.h"

namespace fpctl {

class CommandRun {
 public:
  CommandRun(const CommandLine& cl, Environment& env) : cl_(cl), env_(env) {}
  CommandRun(const CommandRun&) = delete;
  CommandRun& operator=(const CommandRun&) = delete;

  const CommandLine& line() const { return cl_; }
  Environment& env() { return env_; }

  // Loads the domain's extension and makes the runner for it.
  [[nodiscard]] fp::Result<void, CommandFailure> load();
  // The runner of the loaded extension (after load()).
  const Runner& runner() const { return *runner_; }
  // The loaded domain (after load()).
  const fp::Domain& domain() const { return domain_; }
  // Hands the loaded extension over; the runner is gone afterwards.
  [[nodiscard]] std::shared_ptr<fp::ReplicatedExtension> releaseExtension();

  // The item named by `arg` (@root, a path of display names or a raw
  // identifier); failing, a failed step whose what is "finding ARG".
  [[nodiscard]] fp::Result<fp::ItemIdentifier, CommandFailure> resolve(
      const std::string& arg) const;
  // The --contents file, made absolute and checked to be a readable file;
  // none when --contents was not given; failing, a usage failure.
  [[nodiscard]] fp::Result<std::optional<std::filesystem::path>, CommandFailure> contentsFile()
      const;

  // "fetch /Documents/a.txt": the command as the user gave it, to name what failed.
  std::string what() const;

  // Adds a note to the outcome: a line on standard error for people, the
  // "note" key of the JSON object with --json. For outcomes that would look
  // like success or say too little (an empty listing of a file).
  void note(std::string text) { note_ = std::move(text); }

  // Prints the outcome (JSON with --json, else `text`) and returns kExitOk.
  int succeed(const Json& json, const std::string& text);
  // Prints the failure ({"error":...} with --json, and a line on standard
  // error) and returns kExitFailed. The error line the extension logged for
  // the request, if any, follows the error's name (in JSON: "reason").
  int failed(const fp::Error& error, const std::string& what);
  int failed(const fp::Error& error) { return failed(error, what()); }
  // Prints `f` as its kind says (command_failure.h); returns its status.
  int failed(const CommandFailure& f);
  // As failed(error), but for people the failure is the one line `line`
  // ("fpctl: " is put before it) instead of the error's name and code: for an
  // error that fpctl knows the cause of better (a fetch of a folder).
  int failedSaying(const fp::Error& error, const std::string& line);
  // Prints the mistake and the command's usage line; returns kExitUsage.
  int usage(const std::string& message);

 private:
  // The last error line an extension logged since it was loaded.
  std::optional<std::string> extensionReason() const;

  const CommandLine& cl_;
  Environment& env_;
  std::shared_ptr<fp::ReplicatedExtension> extension_;
  std::optional<Runner> runner_;
  // Where the platform log ended when the extension was loaded.
  std::uintmax_t logStart_ = 0;
  std::optional<std::string> note_;
  fp::Domain domain_;
};

}  // namespace fpctl

#endif  // FPCTL_COMMAND_RUN_H_
