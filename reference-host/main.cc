// pell-refhost: a reference host application for development, demos and
// end-to-end tests. See cli.h for the command line.
#include <signal.h>
#include <sys/signalfd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "fileprovider/file_manager.h"
#include "fileprovider/scoped_fd.h"
#include "reference-host/access.h"
#include "reference-host/cli.h"
#include "reference-host/host.h"
#include "reference-host/scanner.h"
#include "reference-host/seed.h"
#include "reference-host/server.h"

namespace {

namespace fs = std::filesystem;
using refhost::LineLog;

constexpr int kFailure = 1;
constexpr int kUsage = 2;
// Changes in the store arrive through inotify; the full rescan is a safety
// net, run more often only while some folder cannot be watched.
constexpr auto kSafetyRescanInterval = std::chrono::seconds(30);
constexpr auto kFallbackRescanInterval = std::chrono::milliseconds(500);

int seed(const refhost::SeedCommand& command, const LineLog& log) {
  auto outcome = refhost::seedStore(command.store);
  if (!outcome) {
    log("cannot seed: " + outcome.error().message);
    return kFailure;
  }
  if (*outcome == refhost::SeedOutcome::kLeftAsItWas) {
    std::printf("store %s is not empty; left as it was\n", command.store.c_str());
  } else {
    std::printf("seeded %s\n", command.store.c_str());
  }
  return 0;
}

int serve(const refhost::ServeCommand& command, const LineLog& log) {
  // SIGINT and SIGTERM are taken from a signalfd by the serving loop; they are
  // blocked before any thread starts, so every thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
    log("cannot block SIGINT and SIGTERM");
    return kFailure;
  }
  // A peer that hangs up must never kill the host; sends also use MSG_NOSIGNAL.
  ::signal(SIGPIPE, SIG_IGN);
  fp::ScopedFD signals(::signalfd(-1, &stopSignals, SFD_CLOEXEC));
  if (!signals) {
    log("cannot create a signalfd");
    return kFailure;
  }

  std::error_code ec;
  fs::path store = fs::absolute(command.store, ec).lexically_normal();
  if (!fs::is_directory(store, ec)) {
    log("store " + store.string() + " is not a folder (make one with: pell-refhost seed --store " +
        command.store.string() + ")");
    return kFailure;
  }

  fp::declareApplicationGroups({std::string(refhost::kAppGroup)});
  auto container = fp::applicationGroupContainer(refhost::kAppGroup);
  if (!container.ok()) {
    log("the app-group container of " + std::string(refhost::kAppGroup) +
        " cannot be used: " + container.error().message);
    return kFailure;
  }
  if (auto problem = refhost::socketPathProblem(*container / std::string(refhost::kSocketName))) {
    log("cannot serve: " + problem->failure);
    log(problem->advice);
    return kFailure;
  }

  // The scanner's first rescan, once its watches are in place, brings the
  // index in line with the store: the host does not scan it before.
  refhost::HostConfig config{store, *container, command.account};
  config.scanAtOpen = false;
  auto host = refhost::Host::open(std::move(config), log);
  if (!host) {
    log("cannot serve: " + host.error().message);
    return kFailure;
  }
  refhost::Host& h = **host;

  refhost::ServerOptions options;
  options.socketPath = *container / std::string(refhost::kSocketName);
  options.faults = command.faults;
  auto server = refhost::Server::listen(
      options, [&h](const nlohmann::json& request) { return h.handle(request); }, log);
  if (!server) {
    log("cannot serve: " + server.error().message);
    return kFailure;
  }

  refhost::Scanner scanner(h, store, log, kSafetyRescanInterval, kFallbackRescanInterval);
  if (const fp::Status& scanned = scanner.firstRescan(); !scanned) {
    log("cannot serve: " + scanned.error().message);
    return kFailure;
  }
  std::printf("serving %s as account %s on %s\n", store.c_str(), command.account.c_str(),
              options.socketPath.c_str());
  std::fflush(stdout);

  (*server)->run(signals.get());
  log("stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  LineLog log = refhost::standardErrorLog();
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  auto command = refhost::parseCommandLine(args);
  if (!command) {
    log(command.error().message);
    std::fputs("run 'pell-refhost --help' for usage\n", stderr);
    return kUsage;
  }
  if (std::holds_alternative<refhost::HelpCommand>(*command)) {
    std::fputs(refhost::usageText().c_str(), stdout);
    return 0;
  }
  if (auto* s = std::get_if<refhost::SeedCommand>(&*command)) return seed(*s, log);
  return serve(std::get<refhost::ServeCommand>(*command), log);
}
