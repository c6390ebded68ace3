#include "fileprovider/fpctl/commands.h"

#include <fstream>
#include <system_error>

#include "fileprovider/fpctl/command_run.h"
#include "fileprovider/fpctl/identifiers.h"

namespace fpctl {

namespace fs = std::filesystem;

fp::Result<void, CommandFailure> CommandRun::load() {
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

fp::Result<fp::ItemIdentifier, StepFailure> CommandRun::resolve(const std::string& arg) const {
  auto id = resolveIdentifier(
      arg, [&](const fp::ItemIdentifier& container) { return runner_->listAll(container); });
  if (!id) return fp::fail(StepFailure{std::move(id).error(), "finding " + arg});
  return std::move(id).value();
}

fp::Result<std::optional<fs::path>, UsageMistake> CommandRun::contentsFile() const {
  if (!cl_.contents) return std::optional<fs::path>();
  std::error_code ec;
  fs::path p = fs::absolute(*cl_.contents, ec);
  if (ec) p = *cl_.contents;
  std::ifstream probe(p, std::ios::binary);
  if (!probe || fs::is_directory(p, ec)) {
    return fp::fail(UsageMistake{"--contents " + cl_.contents->string() + ": not a readable file"});
  }
  return std::optional<fs::path>(p);
}

std::string CommandRun::what() const {
  std::string s = cl_.command;
  for (const auto& o : cl_.operands) s += " " + o;
  return s;
}

int CommandRun::succeed(const Json& json, const std::string& text) {
  if (cl_.global.json)
    env_.out << dumpJson(json);
  else
    env_.out << text;
  env_.out.flush();
  return kExitOk;
}

int CommandRun::failed(const fp::Error& error, const std::string& whatFailed) {
  if (cl_.global.json) {
    Json j;
    j["error"] = errorJson(error);
    env_.out << dumpJson(j);
    env_.out.flush();
  }
  env_.err << errorLine(whatFailed, error) << "\n";
  return kExitFailed;
}

int CommandRun::failed(const CommandFailure& f) {
  if (cl_.global.json && f.error && f.status != kExitUsage) {
    Json j;
    j["error"] = errorJson(*f.error);
    env_.out << dumpJson(j);
    env_.out.flush();
  }
  env_.err << f.message << "\n";
  return f.status;
}

int CommandRun::usage(const std::string& message) {
  env_.err << "fpctl: " << message << "\n" << usageLine(cl_.command) << "\n";
  return kExitUsage;
}

int runCommand(const CommandLine& cl, Environment& env) {
  CommandRun run(cl, env);
  const CommandSpec* spec = findCommand(cl.command);
  if (!spec || !spec->run) return run.usage("unknown command \"" + cl.command + "\"");
  if (spec->needsExtension) {
    if (auto loaded = run.load(); !loaded) return run.failed(loaded.error());
  }
  return spec->run(run);
}

int runCommandLine(const std::vector<std::string>& args, Environment& env) {
  auto parsed = parseCommandLine(args);
  if (!parsed) {
    const UsageError& e = parsed.error();
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
  if (cl.global.logFile && env.setLogFile) env.setLogFile(*cl.global.logFile);
  return runCommand(cl, env);
}

}  // namespace fpctl
