#include "reference-host/cli.h"

#include <charconv>
#include <optional>

namespace refhost {
namespace {

constexpr std::string_view kOperations[] = {"fetch", "thumbnail", "create", "modify", "delete"};
constexpr long kMaxDelayMs = 3'600'000;

bool isOperation(std::string_view op) {
  for (auto known : kOperations) {
    if (op == known) return true;
  }
  return false;
}

// A mistake in the command line, told by `message`.
fp::Failure<fp::Error> usageError(std::string message) {
  return fp::fail(fp::Error{std::string(kUsageErrorDomain), kUsageErrorCode, std::move(message)});
}

fp::Failure<fp::Error> unknownOperation(std::string_view op) {
  return usageError("unknown operation \"" + std::string(op) +
                    "\" (one of fetch, thumbnail, create, modify, delete)");
}

// Walks "--name value" and "--name=value" options.
class Options {
 public:
  Options(const std::vector<std::string>& args, std::size_t first) : args_(args), next_(first) {}

  bool done() const { return next_ >= args_.size(); }

  // The next option's name; its value, when it carries one after '=', is kept.
  std::string take() {
    std::string arg = args_[next_++];
    inlineValue_.reset();
    if (arg.starts_with("--")) {
      if (auto eq = arg.find('='); eq != std::string::npos) {
        inlineValue_ = arg.substr(eq + 1);
        arg.resize(eq);
      }
    }
    return arg;
  }

  std::optional<std::string> value() {
    if (inlineValue_) return std::exchange(inlineValue_, std::nullopt);
    if (next_ >= args_.size()) return std::nullopt;
    return args_[next_++];
  }

 private:
  const std::vector<std::string>& args_;
  std::size_t next_;
  std::optional<std::string> inlineValue_;
};

}  // namespace

std::string usageText() {
  return "usage:\n"
         "  pell-refhost seed --store DIR\n"
         "      Writes a sample tree into DIR (created when missing). A DIR that already\n"
         "      holds anything is left as it is.\n"
         "  pell-refhost serve --store DIR [--account ID] [--delay-ms N] [--fail OP=KIND]...\n"
         "                     [--no-reply OP]...\n"
         "      Serves the store DIR as account ID (default primary): keeps the index\n"
         "      state.db (state-ID.db for other accounts) in the app-group container and\n"
         "      answers on fp.sock there, until SIGINT or SIGTERM.\n"
         "      --delay-ms N     wait N milliseconds before every reply\n"
         "      --fail OP=KIND   answer OP with {\"ok\":false,\"kind\":KIND,...}\n"
         "      --no-reply OP    read OP's request, then close without a reply\n"
         "      OP is one of fetch, thumbnail, create, modify, delete.\n"
         "  pell-refhost --help\n";
}

fp::StatusOr<Command> parseCommandLine(const std::vector<std::string>& args) {
  if (args.empty()) return usageError("missing command (seed or serve)");
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "help") return Command(HelpCommand{});
  if (command != "seed" && command != "serve") {
    return usageError("unknown command \"" + command + "\" (seed or serve)");
  }
  const bool serve = command == "serve";

  std::optional<std::filesystem::path> store;
  ServeCommand result;
  Options options(args, 1);
  while (!options.done()) {
    std::string name = options.take();
    if (name == "--help" || name == "-h") return Command(HelpCommand{});
    bool known = name == "--store" || (serve && (name == "--account" || name == "--delay-ms" ||
                                                 name == "--fail" || name == "--no-reply"));
    if (!known) return usageError("unknown option \"" + name + "\" for " + command);
    auto value = options.value();
    if (!value) return usageError("option " + name + " needs a value");

    if (name == "--store") {
      if (value->empty()) return usageError("--store needs a folder");
      store = *value;
    } else if (name == "--account") {
      if (value->empty() || value->find('/') != std::string::npos ||
          value->find('\0') != std::string::npos) {
        return usageError("invalid account \"" + *value + "\"");
      }
      result.account = *value;
    } else if (name == "--delay-ms") {
      long ms = -1;
      auto [end, ec] = std::from_chars(value->data(), value->data() + value->size(), ms);
      if (ec != std::errc() || end != value->data() + value->size() || ms < 0 || ms > kMaxDelayMs) {
        return usageError("--delay-ms needs a whole number from 0 to " +
                          std::to_string(kMaxDelayMs) + ", not \"" + *value + "\"");
      }
      result.faults.delay = std::chrono::milliseconds(ms);
    } else if (name == "--fail") {
      auto eq = value->find('=');
      if (eq == std::string::npos || eq + 1 == value->size()) {
        return usageError("--fail needs OP=KIND, not \"" + *value + "\"");
      }
      std::string op = value->substr(0, eq);
      if (!isOperation(op)) return unknownOperation(op);
      result.faults.failures[op] = value->substr(eq + 1);
    } else if (name == "--no-reply") {
      if (!isOperation(*value)) return unknownOperation(*value);
      result.faults.withheld.insert(*value);
    }
  }
  if (!store) return usageError(command + " needs --store DIR");
  if (!serve) return Command(SeedCommand{*store});
  result.store = *store;
  return Command(std::move(result));
}

}  // namespace refhost
