// pell-domain: registers the default file-provider domain ("register") or removes
// it ("remove"). The main thread waits in the run loop; the platform's completion
// handlers print the one line and end the process from their own thread.
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "domain-tool/command.h"
#include "fileprovider/domain.h"
#include "fileprovider/error.h"
#include "fileprovider/file_manager.h"
#include "fileprovider/run_loop.h"

namespace {

using namespace pellora::domaintool;

void print(const Outcome& outcome) {
  if (outcome.stream == Stream::kStandardOutput) {
    fp::writeStandardOutput(outcome.line);
  } else {
    fp::writeStandardError(outcome.line);
  }
}

// Prints the outcome and ends the process from the calling (handler) thread.
// The line is written unbuffered, so only stdio needs flushing. exit() is not
// used: it would run static destructors while the main thread and the
// platform's workers still run, whereas _exit ends everything at once.
[[noreturn]] void finish(const Outcome& outcome) {
  print(outcome);
  std::fflush(nullptr);
  ::_exit(outcome.exitStatus);
}

void registerDomain() {
  fp::Manager::addDomain(defaultDomain(), [](std::optional<fp::Error> error) {
    finish(error ? outcomeOf(Situation::kAddingFailed, error->description())
                 : outcomeOf(Situation::kAdded));
  });
}

void removeDomain() {
  fp::Manager::getDomains([](std::vector<fp::Domain> domains, std::optional<fp::Error> error) {
    if (error) finish(outcomeOf(Situation::kListingFailed, error->description()));
    auto domain = findDefaultDomain(domains);
    if (!domain) finish(outcomeOf(Situation::kNotRegistered));
    // The process keeps waiting for the removal's handler.
    fp::Manager::removeDomain(*domain, [](std::optional<fp::Error> removeError) {
      finish(outcomeOf(removalSituation(removeError),
                       removeError ? removeError->description() : std::string()));
    });
  });
}

}  // namespace

int main(int argc, char** argv) {
  fp::declareApplicationGroups({std::string(kAppGroup)});
  switch (decideOperation(argc, argv)) {
    case Operation::kUsage: {
      Outcome usage = outcomeOf(Situation::kWrongArgument);
      print(usage);
      return usage.exitStatus;
    }
    case Operation::kRegister:
      registerDomain();
      break;
    case Operation::kRemove:
      removeDomain();
      break;
  }
  fp::RunLoop::main().run();
}
