#include "fileprovider/fpctl/command_line.h"

#include <sstream>

#include "fileprovider/fpctl/command_groups.h"

namespace fpctl {

namespace {

const std::vector<OptionSpec>& globalOptions() {
  static const std::vector<OptionSpec> table = {
      {"json", "", "print exactly one JSON object on standard output",
       [](CommandLine& cl, const std::string&) -> std::optional<std::string> {
         cl.global.json = true;
         return std::nullopt;
       }},
      {"domain", "ID", "the domain to use (default: the only registered one)",
       [](CommandLine& cl, const std::string& v) -> std::optional<std::string> {
         cl.global.domain = v;
         return std::nullopt;
       }},
      {"bundle", "DIR", "load this extension bundle instead of the registered one",
       [](CommandLine& cl, const std::string& v) -> std::optional<std::string> {
         cl.global.bundle = std::filesystem::path(v);
         return std::nullopt;
       }},
      {"log", "FILE", "append the platform log to FILE",
       [](CommandLine& cl, const std::string& v) -> std::optional<std::string> {
         cl.global.logFile = std::filesystem::path(v);
         return std::nullopt;
       }},
      {"help", "", "show help",
       [](CommandLine& cl, const std::string&) -> std::optional<std::string> {
         cl.help = true;
         return std::nullopt;
       }},
  };
  return table;
}

const OptionSpec* findOption(const std::vector<OptionSpec>& options, std::string_view name) {
  for (const auto& o : options)
    if (o.name == name) return &o;
  return nullptr;
}

fp::Failure<CommandFailure> usage(std::string message, std::string_view command = {}) {
  return fp::fail(CommandFailure::usage(std::move(message), std::string(command)));
}

// Splits "--name=value" into name and value; "--name" into name and none.
std::pair<std::string_view, std::optional<std::string_view>> splitOption(std::string_view arg) {
  arg.remove_prefix(2);
  auto eq = arg.find('=');
  if (eq == std::string_view::npos) return {arg, std::nullopt};
  return {arg.substr(0, eq), arg.substr(eq + 1)};
}

// Reads the value of an option that takes one: from "--name=value" or from the
// next argument.
fp::Result<std::string, CommandFailure> optionValue(std::string_view name,
                                                    std::optional<std::string_view> inline_,
                                                    const std::vector<std::string>& args,
                                                    std::size_t& i, std::string_view command) {
  if (inline_) return std::string(*inline_);
  if (i + 1 >= args.size())
    return usage("option --" + std::string(name) + " needs a value", command);
  return args[++i];
}

}  // namespace

const std::vector<CommandSpec>& commandTable() {
  static const std::vector<CommandSpec> table = [] {
    std::vector<CommandSpec> all;
    for (auto group : {queryCommands, contentCommands, writeCommands, mountCommands,
                       localCopyCommands, refusedChangeCommands}) {
      for (auto& c : group()) all.push_back(std::move(c));
    }
    all.push_back({.name = "help",
                   .operands = "[COMMAND]",
                   .minOperands = 0,
                   .maxOperands = 1,
                   .summary = "show help",
                   .details = "Shows the help of a command, or this overview.",
                   .options = {},
                   .run = nullptr,
                   .needsExtension = false});
    return all;
  }();
  return table;
}

const CommandSpec* findCommand(std::string_view name) {
  for (const auto& c : commandTable())
    if (c.name == name) return &c;
  return nullptr;
}

fp::ItemFields CommandLine::changedFields() const {
  fp::ItemFields f = extraFields;
  if (name) f |= fp::field::kFilename;
  if (parent) f |= fp::field::kParentItemIdentifier;
  if (contents || contentsChanged) f |= fp::field::kContents;
  return f;
}

bool isCommand(std::string_view word) { return findCommand(word) != nullptr; }

bool asksForJson(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "--") return false;
    if (arg == "--json") return true;
    if (arg.substr(0, 2) != "--") continue;
    // The value of a global option is skipped: `--log --json` names a file.
    auto [name, inline_] = splitOption(arg);
    const OptionSpec* def = findOption(globalOptions(), name);
    if (def && def->takesValue() && !inline_) ++i;
  }
  return false;
}

namespace {

// Applies the option `def`, given as "--name" or "--name=value" (`inline_`) in
// the argument at `i`, and reads its value from the next argument when it takes
// one there. Mistakes are reported for `command` (empty: a global option).
fp::Result<void, CommandFailure> applyOption(const OptionSpec& def, std::string_view name,
                                             std::optional<std::string_view> inline_,
                                             const std::vector<std::string>& args, std::size_t& i,
                                             CommandLine& cl, std::string_view command) {
  std::string value;
  if (!def.takesValue()) {
    if (inline_) return usage("option --" + std::string(name) + " takes no value", command);
  } else {
    auto given = optionValue(name, inline_, args, i, command);
    if (!given) return fp::propagate(given);
    value = std::move(given).value();
  }
  if (auto mistake = def.set(cl, value)) return usage(std::move(*mistake), command);
  return fp::Ok{};
}

// Reads the global options from `i` up to the command word, and past a "--"
// that ends them.
fp::Result<void, CommandFailure> parseGlobalOptions(const std::vector<std::string>& args,
                                                    std::size_t& i, CommandLine& cl) {
  for (; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "-h") arg = "--help";
    if (arg.substr(0, 2) != "--" || arg == "--") break;
    auto [name, inline_] = splitOption(arg);
    const OptionSpec* def = findOption(globalOptions(), name);
    if (!def) {
      if (isCommand(name))
        return usage("unknown option " + std::string(arg) + " (did you mean the command \"" +
                     std::string(name) + "\"?)");
      return usage("unknown option " + std::string(arg));
    }
    if (auto applied = applyOption(*def, name, inline_, args, i, cl, {}); !applied) {
      return fp::propagate(applied);
    }
  }
  if (i < args.size() && args[i] == "--") ++i;
  return fp::Ok{};
}

// Reads the operands and options of the command `def` from `i` on. True when
// "--help" or "-h" ended the reading there.
fp::Result<bool, CommandFailure> parseCommandArguments(const std::vector<std::string>& args,
                                                       std::size_t i, const CommandSpec& def,
                                                       CommandLine& cl) {
  bool onlyOperands = false;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (onlyOperands || arg == "-" || arg.empty() || arg[0] != '-') {
      cl.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyOperands = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      cl.help = true;
      return true;
    }
    if (arg.substr(0, 2) != "--") return usage("unknown option " + arg, cl.command);
    // --json is read wherever it stands: `fpctl ls --json` is as good as `fpctl --json ls`.
    if (arg == "--json") {
      cl.global.json = true;
      continue;
    }
    auto [name, inline_] = splitOption(arg);
    const OptionSpec* opt = findOption(def.options, name);
    if (!opt) {
      if (findOption(globalOptions(), name))
        return usage("--" + std::string(name) + " is a global option: give it before the command",
                     cl.command);
      return usage("unknown option --" + std::string(name) + " for " + cl.command, cl.command);
    }
    if (auto applied = applyOption(*opt, name, inline_, args, i, cl, cl.command); !applied) {
      return fp::propagate(applied);
    }
  }
  return false;
}

// Checks that the command `def` has as many operands as it takes.
fp::Result<void, CommandFailure> checkOperandCount(const CommandSpec& def, const CommandLine& cl) {
  if (cl.operands.size() < def.minOperands)
    return usage(cl.command + ": missing " +
                     (def.minOperands - cl.operands.size() == 1 && def.maxOperands == 1
                          ? std::string(def.operands)
                          : "operands (" + std::string(def.operands) + ")"),
                 cl.command);
  if (cl.operands.size() > def.maxOperands)
    return usage(cl.command + ": unexpected operand \"" + cl.operands[def.maxOperands] + "\"",
                 cl.command);
  return fp::Ok{};
}

}  // namespace

fp::Result<CommandLine, CommandFailure> parseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  std::size_t i = 0;
  if (auto global = parseGlobalOptions(args, i, cl); !global) return fp::propagate(global);
  if (i >= args.size()) {
    if (cl.help) return cl;
    return usage("no command given");
  }

  cl.command = args[i++];
  const CommandSpec* def = findCommand(cl.command);
  if (!def) return usage("unknown command \"" + cl.command + "\"");
  auto helpAsked = parseCommandArguments(args, i, *def, cl);
  if (!helpAsked) return fp::propagate(helpAsked);
  if (*helpAsked) return cl;

  if (cl.command == "help") {
    if (!cl.operands.empty() && !isCommand(cl.operands[0]))
      return usage("no help for unknown command \"" + cl.operands[0] + "\"");
    cl.help = true;
    cl.command = cl.operands.empty() ? std::string() : cl.operands[0];
    cl.operands.clear();
    return cl;
  }
  if (auto counted = checkOperandCount(*def, cl); !counted) return fp::propagate(counted);
  return cl;
}

std::string usageLine(std::string_view command) {
  const CommandSpec* c = findCommand(command);
  if (!c) return "usage: fpctl [--json] [--domain ID] [--bundle DIR] [--log FILE] COMMAND ...";
  std::string line = "usage: fpctl [GLOBAL OPTIONS] " + std::string(c->name);
  if (!c->operands.empty()) line += " " + std::string(c->operands);
  for (const auto& o : c->options) {
    line += " [--" + std::string(o.name);
    if (o.takesValue()) line += " " + std::string(o.placeholder);
    line += "]";
  }
  return line;
}

namespace {

void appendOptions(std::ostringstream& s, const std::vector<OptionSpec>& options) {
  std::size_t width = 0;
  auto label = [](const OptionSpec& o) {
    std::string l = "--" + std::string(o.name);
    if (o.takesValue()) l += " " + std::string(o.placeholder);
    return l;
  };
  for (const auto& o : options) width = std::max(width, label(o).size());
  for (const auto& o : options) {
    std::string l = label(o);
    s << "  " << l << std::string(width - l.size() + 2, ' ') << o.help << "\n";
  }
}

}  // namespace

std::string helpText(std::string_view command) {
  std::ostringstream s;
  const CommandSpec* c = findCommand(command);
  if (c && c->name != "help") {
    s << usageLine(command) << "\n\n" << c->details << "\n";
    if (!c->options.empty()) {
      s << "\nOptions:\n";
      appendOptions(s, c->options);
    }
    bool takesIds = c->operands.find("ID") != std::string_view::npos ||
                    c->operands.find("CONTAINER") != std::string_view::npos ||
                    c->operands.find("PARENT") != std::string_view::npos;
    if (takesIds)
      s << "\nItems are named by @root, @workingset or @trash, by a path of display names\n"
           "starting with \"/\" (\"/Documents/Report.pdf\"), or by a raw identifier.\n";
    return s.str();
  }
  s << usageLine() << "\n\n"
    << "fpctl plays the platform for a file-provider extension: it loads the extension\n"
       "bundle of a domain, makes one request, prints the outcome and exits.\n\n"
       "Commands:\n";
  std::size_t width = 0;
  for (const auto& k : commandTable()) {
    std::size_t w = k.name.size() + (k.operands.empty() ? 0 : k.operands.size() + 1);
    width = std::max(width, w);
  }
  for (const auto& k : commandTable()) {
    std::string l = std::string(k.name);
    if (!k.operands.empty()) l += " " + std::string(k.operands);
    s << "  " << l << std::string(width - l.size() + 2, ' ') << k.summary << "\n";
  }
  s << "\nGlobal options (before the command; --json may also follow it):\n";
  appendOptions(s, globalOptions());
  s << "\nItems are named by @root, @workingset or @trash, by a path of display names\n"
       "starting with \"/\", or by a raw identifier. `fpctl help COMMAND` or\n"
       "`fpctl COMMAND --help` describes a command.\n\n"
       "Exit status: 0 success, 1 the request failed, 2 usage error, 3 the extension\n"
       "bundle cannot be loaded.\n";
  return s.str();
}

}  // namespace fpctl
