#include "fileprovider/fpctl/commands.h"

#include <fstream>
#include <system_error>

#include "fileprovider/fpctl/command_run.h"
#include "fileprovider/fpctl/host.h"
#include "fileprovider/fpctl/identifiers.h"
#include "fileprovider/fpctl/log_reason.h"

namespace fpctl {

namespace fs = std::filesystem;

fp::Result<void, CommandFailure> CommandRun::load() {
  if (env_.logFile) logStart_ = logEnd(*env_.logFile);
  auto loaded = env_.load(cl_.global);
  if (!loaded) return fp::propagate(loaded);
  for (const auto& warning : loaded->warnings) env_.err << warning << "\n";
  domain_ = loaded->domain;
  extension_ = std::move(loaded->extension);
  runner_.emplace(extension_);
  return fp::Ok{};
}

std::shared_ptr<fp::ReplicatedExtension> CommandRun::releaseExtension() {
  runner_.reset();
  return std::move(extension_);
}

fp::Result<fp::ItemIdentifier, CommandFailure> CommandRun::resolve(const std::string& arg) const {
  auto id = resolveIdentifier(
      arg, [&](const fp::ItemIdentifier& container) { return runner_->listAll(container); });
  if (!id) return fp::fail(CommandFailure::failedStep(std::move(id).error(), "finding " + arg));
  return std::move(id).value();
}

fp::Result<std::optional<fs::path>, CommandFailure> CommandRun::contentsFile() const {
  if (!cl_.contents) return std::optional<fs::path>();
  std::error_code ec;
  fs::path p = fs::absolute(*cl_.contents, ec);
  if (ec) p = *cl_.contents;
  std::ifstream probe(p, std::ios::binary);
  if (!probe || fs::is_directory(p, ec)) {
    return fp::fail(
        CommandFailure::usage("--contents " + cl_.contents->string() + ": not a readable file"));
  }
  return std::optional<fs::path>(p);
}

std::string CommandRun::what() const {
  std::string s = cl_.command;
  for (const auto& o : cl_.operands) s += " " + o;
  return s;
}

int CommandRun::succeed(const Json& json, const std::string& text) {
  if (cl_.global.json) {
    if (note_ && json.is_object()) {
      Json noted = json;
      noted["note"] = *note_;
      env_.out << dumpJson(noted);
    } else {
      env_.out << dumpJson(json);
    }
  } else {
    env_.out << text;
    if (note_) env_.err << "fpctl: " << *note_ << "\n";
  }
  env_.out.flush();
  return kExitOk;
}

std::optional<std::string> CommandRun::extensionReason() const {
  if (!env_.logFile) return std::nullopt;
  return lastExtensionError(*env_.logFile, logStart_);
}

int CommandRun::failed(const fp::Error& error, const std::string& whatFailed) {
  std::optional<std::string> reason = extensionReason();
  if (cl_.global.json) {
    Json j;
    j["error"] = errorJson(error);
    if (reason) j["reason"] = *reason;
    if (note_) j["note"] = *note_;
    env_.out << dumpJson(j);
    env_.out.flush();
  }
  env_.err << errorLine(whatFailed, error, reason.value_or("")) << "\n";
  if (auto advice = reason ? adviceFor(*reason) : std::nullopt) env_.err << *advice << "\n";
  if (note_) env_.err << "fpctl: " << *note_ << "\n";
  return kExitFailed;
}

int CommandRun::failedSaying(const fp::Error& error, const std::string& line) {
  if (cl_.global.json) {
    Json j;
    j["error"] = errorJson(error);
    j["note"] = line;
    env_.out << dumpJson(j);
    env_.out.flush();
  }
  env_.err << "fpctl: " << line << "\n";
  return kExitFailed;
}

int CommandRun::failed(const CommandFailure& f) {
  if (f.kind == CommandFailure::Kind::kUsage) return usage(f.message);
  if (f.kind == CommandFailure::Kind::kFailedStep)
    return failed(f.error.value_or(fp::Error{}), f.message);
  if (cl_.global.json) {
    // A failure without an error value (no domain to serve) is still one object.
    Json j;
    if (f.error && f.status != kExitUsage)
      j = Json{{"error", errorJson(*f.error)}};
    else
      j = usageErrorJson(stripProgramName(f.message), f.status);
    env_.out << dumpJson(j);
    env_.out.flush();
  }
  env_.err << f.message << "\n";
  return f.status;
}

int CommandRun::usage(const std::string& message) {
  if (cl_.global.json) {
    env_.out << dumpJson(usageErrorJson(message));
    env_.out.flush();
  }
  env_.err << "fpctl: " << message << "\n" << usageLine(cl_.command) << "\n";
  return kExitUsage;
}

int runCommand(const CommandLine& cl, Environment& env) {
  CommandRun run(cl, env);
  const CommandSpec* declared = findCommand(cl.command);
  if (!declared || !declared->run) return run.usage("unknown command \"" + cl.command + "\"");
  if (declared->needsExtension) {
    if (auto loaded = run.load(); !loaded) return run.failed(loaded.error());
  }
  return declared->run(run);
}

int runCommandLine(const std::vector<std::string>& args, Environment& env) {
  auto parsed = parseCommandLine(args);
  if (!parsed) {
    const CommandFailure& e = parsed.error();
    if (asksForJson(args)) {
      env.out << dumpJson(usageErrorJson(e.message));
      env.out.flush();
    }
    env.err << "fpctl: " << e.message << "\n" << usageLine(e.command) << "\n";
    env.err << "Try 'fpctl help" << (e.command.empty() ? "" : " " + e.command)
            << "' for more information.\n";
    return kExitUsage;
  }
  const CommandLine& cl = *parsed;
  if (cl.help) {
    env.out << helpText(cl.command);
    env.out.flush();
    return kExitOk;
  }
  if (cl.global.logFile && env.setLogFile) {
    env.setLogFile(*cl.global.logFile);
    env.logFile = cl.global.logFile;
  }
  // Without a log file the extension's lines go to syslog, where fpctl cannot
  // read its reason back: a request (not a mount, which runs on) logs to a file
  // of its own, passed on to syslog at the end.
  std::unique_ptr<PrivateLog> privateLog;
  const CommandSpec* declared = findCommand(cl.command);
  if (!env.logFile && env.setLogFile && env.privateLogFolder && declared &&
      declared->needsExtension && cl.command != "mount") {
    privateLog = PrivateLog::create(*env.privateLogFolder);
    if (privateLog) {
      env.setLogFile(privateLog->path());
      env.logFile = privateLog->path();
    }
  }
  int status = runCommand(cl, env);
  if (privateLog) {
    env.setLogFile(std::filesystem::path());
    env.logFile.reset();
  }
  return status;
}

}  // namespace fpctl
