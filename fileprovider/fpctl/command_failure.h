// fpctl's exit statuses, and why a command did not do what it was asked: the
// one failure value its parsing, loading and commands hand back.
#ifndef FPCTL_COMMAND_FAILURE_H_
#define FPCTL_COMMAND_FAILURE_H_

#include <optional>
#include <string>
#include <utility>

#include "fileprovider/error.h"

namespace fpctl {

// Exit statuses of fpctl.
enum ExitStatus : int {
  kExitOk = 0,
  kExitFailed = 1,     // the request failed (the extension's error is printed)
  kExitUsage = 2,      // the command line is wrong, or names no usable domain
  kExitBadBundle = 3,  // the extension bundle cannot be loaded
};

// A failure, not yet printed. How it is printed depends on its kind:
// - kCannotRun: the command could not start (no usable domain, a bundle that
//   does not load). `message` is the line for standard error, "fpctl: " first;
//   `error`, if any, is what --json prints ({"error":...}), else a usage error
//   object is printed.
// - kUsage: fpctl was used wrongly (the command line, or a --contents file
//   that cannot be read). `message` is the mistake; it is printed after
//   "fpctl: ", followed by the usage line of `command` (empty: the overview).
// - kFailedStep: a step of the command failed. `error` says why and `message`
//   what was being done ("finding /Documents").
// `status` is the exit status the command then returns.
struct CommandFailure {
  enum class Kind { kCannotRun, kUsage, kFailedStep };

  // A failure of the kind kCannotRun.
  CommandFailure(int exitStatus, std::string line, std::optional<fp::Error> behind)
      : CommandFailure(Kind::kCannotRun, exitStatus, std::move(line), std::move(behind)) {}
  // What fpctl itself could not do (a cache folder it cannot create, a path
  // outside every mount): exit status 1, the line "fpctl: MESSAGE", and with
  // --json the error of domain "fpctl", code 1.
  static CommandFailure ofFpctl(const std::string& message) {
    return CommandFailure(kExitFailed, "fpctl: " + message, fp::Error{"fpctl", 1, message});
  }
  static CommandFailure usage(std::string message, std::string command = {}) {
    CommandFailure f(Kind::kUsage, kExitUsage, std::move(message), std::nullopt);
    f.command = std::move(command);
    return f;
  }
  static CommandFailure failedStep(fp::Error error, std::string what) {
    return CommandFailure(Kind::kFailedStep, kExitFailed, std::move(what), std::move(error));
  }

  Kind kind;
  int status;
  std::string message;
  std::optional<fp::Error> error;
  std::string command;

 private:
  CommandFailure(Kind k, int s, std::string m, std::optional<fp::Error> e)
      : kind(k), status(s), message(std::move(m)), error(std::move(e)) {}
};

}  // namespace fpctl

#endif  // FPCTL_COMMAND_FAILURE_H_
