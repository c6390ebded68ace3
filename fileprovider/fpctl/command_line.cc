#include "fileprovider/fpctl/command_line.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>

namespace fpctl {

namespace {

enum class Value { kNone, kText };

struct OptionDef {
  std::string_view name;  // without the leading "--"
  Value value;
  std::string_view placeholder;
  std::string_view help;
};

struct CommandDef {
  std::string_view name;
  std::string_view operands;  // synopsis of the operands
  std::size_t minOperands;
  std::size_t maxOperands;  // SIZE_MAX: any number
  std::string_view summary;
  std::string_view details;
  std::vector<OptionDef> options;
};

constexpr std::size_t kMany = std::numeric_limits<std::size_t>::max();

const std::vector<CommandDef>& commands() {
  static const std::vector<CommandDef> table = {
      {"domains",
       "",
       0,
       0,
       "list the registered domains and their extension bundles",
       "Reads the domain registry ($FILEPROVIDER_STATE/domains.json). Loads no extension.",
       {}},
      {"item",
       "ID",
       1,
       1,
       "show one item",
       "Asks the extension for the item with identifier ID.",
       {}},
      {"ls",
       "[CONTAINER]",
       0,
       1,
       "list a container (default @root)",
       "Lists one page of the container's children, in the order the extension gives\n"
       "them. The listing starts at the initial page unless --page is given; the page\n"
       "the extension hands back, if any, is shown as the next page.",
       {{"page", Value::kText, "TEXT", "start at this page (its UTF-8 text)"}}},
      {"tree",
       "[CONTAINER]",
       0,
       1,
       "show a container and everything below it",
       "Walks the container (default @root) folder by folder, following every page.",
       {}},
      {"anchor",
       "[CONTAINER]",
       0,
       1,
       "show the current sync anchor of a container",
       "Asks the container's enumerator (default @root) for its current sync anchor.",
       {}},
      {"changes",
       "CONTAINER ANCHOR",
       2,
       2,
       "list the changes since an anchor",
       "Asks the container's enumerator for the changes since ANCHOR (the UTF-8 text\n"
       "that `anchor` printed). An expired anchor is reported as error -1002.",
       {}},
      {"fetch",
       "ID",
       1,
       1,
       "fetch a file's contents",
       "Asks the extension for a local copy of the file's contents and prints the path\n"
       "it returned. A progress bar is shown on a terminal while the fetch runs.",
       {{"out", Value::kText, "FILE", "also copy the contents to FILE"}}},
      {"thumbnails",
       "ID...",
       1,
       kMany,
       "fetch thumbnails",
       "Asks the extension for thumbnails of the items, in one request.",
       {{"out-dir", Value::kText, "DIR", "write each thumbnail's bytes into DIR"}}},
      {"create",
       "PARENT NAME",
       2,
       2,
       "create an item in PARENT",
       "Builds an item template named NAME in PARENT and asks the extension to create\n"
       "it. The template's type is public.data unless an option says otherwise.",
       {{"folder", Value::kNone, "", "type public.folder (a folder)"},
        {"type", Value::kText, "UTI", "this content type"},
        {"no-type", Value::kNone, "", "no content type at all"},
        {"contents", Value::kText, "FILE", "the new item's contents"}}},
      {"modify",
       "ID",
       1,
       1,
       "rename, move or change an item",
       "Looks the item up first (its name, parent and version are the base of the\n"
       "change), then passes the changed item to the extension with the changed\n"
       "fields: filename (2) for --name, parent (4) for --parent, contents (1) for\n"
       "--contents or --contents-changed, plus the bits of --fields.",
       {{"name", Value::kText, "NAME", "the new name"},
        {"parent", Value::kText, "PARENT", "the new parent container"},
        {"contents", Value::kText, "FILE", "new contents"},
        {"contents-changed", Value::kNone, "", "mark the contents as changed"},
        {"fields", Value::kText, "BITS", "further changed-field bits (decimal)"}}},
      {"delete", "ID", 1, 1, "delete an item", "Asks the extension to delete the item.", {}},
      {"mount",
       "MOUNTPOINT",
       1,
       1,
       "serve the domain as a folder (FUSE)",
       "Mounts the domain at MOUNTPOINT and serves it until it is unmounted\n"
       "(fusermount3 -u MOUNTPOINT) or interrupted.",
       {{"domain", Value::kText, "ID", "the domain to mount (as the global --domain)"},
        {"foreground", Value::kNone, "", "stay in the foreground"},
        {"poll", Value::kText, "SECONDS", "how often to look for changes (default 2)"},
        {"cache", Value::kText, "DIR", "where fetched contents and uploads are kept"}}},
      {"help",
       "[COMMAND]",
       0,
       1,
       "show help",
       "Shows the help of a command, or this overview.",
       {}},
  };
  return table;
}

const CommandDef* findCommand(std::string_view name) {
  for (const auto& c : commands())
    if (c.name == name) return &c;
  return nullptr;
}

const OptionDef* findOption(const CommandDef& c, std::string_view name) {
  for (const auto& o : c.options)
    if (o.name == name) return &o;
  return nullptr;
}

const std::vector<OptionDef>& globalOptions() {
  static const std::vector<OptionDef> table = {
      {"json", Value::kNone, "", "print exactly one JSON object on standard output"},
      {"domain", Value::kText, "ID", "the domain to use (default: the only registered one)"},
      {"bundle", Value::kText, "DIR", "load this extension bundle instead of the registered one"},
      {"log", Value::kText, "FILE", "append the platform log to FILE"},
      {"help", Value::kNone, "", "show help"},
  };
  return table;
}

const OptionDef* findGlobal(std::string_view name) {
  for (const auto& o : globalOptions())
    if (o.name == name) return &o;
  return nullptr;
}

fp::Failure<UsageError> usage(std::string message, std::string_view command = {}) {
  return fp::fail(UsageError{std::move(message), std::string(command)});
}

// Splits "--name=value" into name and value; "--name" into name and none.
std::pair<std::string_view, std::optional<std::string_view>> splitOption(std::string_view arg) {
  arg.remove_prefix(2);
  auto eq = arg.find('=');
  if (eq == std::string_view::npos) return {arg, std::nullopt};
  return {arg.substr(0, eq), arg.substr(eq + 1)};
}

std::optional<std::uint64_t> parseDecimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

std::optional<double> parseSeconds(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(v) || v <= 0) return std::nullopt;
  return v;
}

// Reads the value of an option that takes one: from "--name=value" or from the
// next argument.
fp::Result<std::string, UsageError> optionValue(std::string_view name,
                                                std::optional<std::string_view> inline_,
                                                const std::vector<std::string>& args,
                                                std::size_t& i, std::string_view command) {
  if (inline_) return std::string(*inline_);
  if (i + 1 >= args.size())
    return usage("option --" + std::string(name) + " needs a value", command);
  return args[++i];
}

}  // namespace

fp::ItemFields CommandLine::changedFields() const {
  fp::ItemFields f = extraFields;
  if (name) f |= fp::field::kFilename;
  if (parent) f |= fp::field::kParentItemIdentifier;
  if (contents || contentsChanged) f |= fp::field::kContents;
  return f;
}

bool isCommand(std::string_view word) { return findCommand(word) != nullptr; }

fp::Result<CommandLine, UsageError> parseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  std::size_t i = 0;

  // Global options, up to the command word.
  for (; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "-h") arg = "--help";
    if (arg.substr(0, 2) != "--" || arg == "--") break;
    auto [name, inline_] = splitOption(arg);
    const OptionDef* def = findGlobal(name);
    if (!def) {
      if (isCommand(name))
        return usage("unknown option " + std::string(arg) + " (did you mean the command \"" +
                     std::string(name) + "\"?)");
      return usage("unknown option " + std::string(arg));
    }
    if (def->value == Value::kNone && inline_)
      return usage("option --" + std::string(name) + " takes no value");
    if (name == "help") {
      cl.help = true;
      continue;
    }
    if (name == "json") {
      cl.global.json = true;
      continue;
    }
    auto value = optionValue(name, inline_, args, i, {});
    if (!value) return fp::propagate(value);
    if (name == "domain") cl.global.domain = *value;
    if (name == "bundle") cl.global.bundle = std::filesystem::path(*value);
    if (name == "log") cl.global.logFile = std::filesystem::path(*value);
  }
  if (i < args.size() && args[i] == "--") ++i;

  if (i >= args.size()) {
    if (cl.help) return cl;
    return usage("no command given");
  }

  cl.command = args[i++];
  const CommandDef* def = findCommand(cl.command);
  if (!def) return usage("unknown command \"" + cl.command + "\"");

  bool sawTypeOption = false;
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
      return cl;
    }
    if (arg.substr(0, 2) != "--") return usage("unknown option " + arg, cl.command);
    auto [name, inline_] = splitOption(arg);
    const OptionDef* opt = findOption(*def, name);
    if (!opt) {
      if (findGlobal(name))
        return usage("--" + std::string(name) + " is a global option: give it before the command",
                     cl.command);
      return usage("unknown option --" + std::string(name) + " for " + cl.command, cl.command);
    }
    if (opt->value == Value::kNone) {
      if (inline_) return usage("option --" + std::string(name) + " takes no value", cl.command);
      if (name == "folder" || name == "no-type") {
        if (sawTypeOption)
          return usage("give only one of --folder, --type and --no-type", cl.command);
        sawTypeOption = true;
        cl.contentType =
            name == "folder" ? std::optional<std::string>("public.folder") : std::nullopt;
      } else if (name == "contents-changed") {
        cl.contentsChanged = true;
      } else if (name == "foreground") {
        cl.foreground = true;
      }
      continue;
    }
    auto value = optionValue(name, inline_, args, i, cl.command);
    if (!value) return fp::propagate(value);
    std::string v = std::move(value).value();
    if (name == "page") {
      cl.page = v;
    } else if (name == "out") {
      cl.out = std::filesystem::path(v);
    } else if (name == "out-dir") {
      cl.outDir = std::filesystem::path(v);
    } else if (name == "type") {
      if (sawTypeOption)
        return usage("give only one of --folder, --type and --no-type", cl.command);
      if (v.empty()) return usage("--type needs a type identifier", cl.command);
      sawTypeOption = true;
      cl.contentType = v;
    } else if (name == "contents") {
      cl.contents = std::filesystem::path(v);
    } else if (name == "name") {
      cl.name = v;
    } else if (name == "parent") {
      cl.parent = v;
    } else if (name == "fields") {
      auto bits = parseDecimal(v);
      if (!bits) return usage("--fields takes a decimal number, not \"" + v + "\"", cl.command);
      cl.extraFields = *bits;
    } else if (name == "domain") {
      if (cl.global.domain && *cl.global.domain != v)
        return usage("two different domains given: " + *cl.global.domain + " and " + v, cl.command);
      cl.global.domain = v;
    } else if (name == "poll") {
      auto s = parseSeconds(v);
      if (!s)
        return usage("--poll takes a positive number of seconds, not \"" + v + "\"", cl.command);
      cl.pollSeconds = s;
    } else if (name == "cache") {
      cl.cacheDir = std::filesystem::path(v);
    }
  }

  if (cl.command == "help") {
    if (!cl.operands.empty() && !isCommand(cl.operands[0]))
      return usage("no help for unknown command \"" + cl.operands[0] + "\"");
    cl.help = true;
    cl.command = cl.operands.empty() ? std::string() : cl.operands[0];
    cl.operands.clear();
    return cl;
  }
  if (cl.operands.size() < def->minOperands)
    return usage(cl.command + ": missing " +
                     (def->minOperands - cl.operands.size() == 1 && def->maxOperands == 1
                          ? std::string(def->operands)
                          : "operands (" + std::string(def->operands) + ")"),
                 cl.command);
  if (cl.operands.size() > def->maxOperands)
    return usage(cl.command + ": unexpected operand \"" + cl.operands[def->maxOperands] + "\"",
                 cl.command);
  return cl;
}

std::string usageLine(std::string_view command) {
  const CommandDef* c = findCommand(command);
  if (!c) return "usage: fpctl [--json] [--domain ID] [--bundle DIR] [--log FILE] COMMAND ...";
  std::string line = "usage: fpctl [GLOBAL OPTIONS] " + std::string(c->name);
  if (!c->operands.empty()) line += " " + std::string(c->operands);
  for (const auto& o : c->options) {
    line += " [--" + std::string(o.name);
    if (o.value == Value::kText) line += " " + std::string(o.placeholder);
    line += "]";
  }
  return line;
}

namespace {

void appendOptions(std::ostringstream& s, const std::vector<OptionDef>& options) {
  std::size_t width = 0;
  auto label = [](const OptionDef& o) {
    std::string l = "--" + std::string(o.name);
    if (o.value == Value::kText) l += " " + std::string(o.placeholder);
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
  const CommandDef* c = findCommand(command);
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
  for (const auto& k : commands()) {
    std::size_t w = k.name.size() + (k.operands.empty() ? 0 : k.operands.size() + 1);
    width = std::max(width, w);
  }
  for (const auto& k : commands()) {
    std::string l = std::string(k.name);
    if (!k.operands.empty()) l += " " + std::string(k.operands);
    s << "  " << l << std::string(width - l.size() + 2, ' ') << k.summary << "\n";
  }
  s << "\nGlobal options (before the command):\n";
  appendOptions(s, globalOptions());
  s << "\nItems are named by @root, @workingset or @trash, by a path of display names\n"
       "starting with \"/\", or by a raw identifier. `fpctl help COMMAND` or\n"
       "`fpctl COMMAND --help` describes a command.\n\n"
       "Exit status: 0 success, 1 the request failed, 2 usage error, 3 the extension\n"
       "bundle cannot be loaded.\n";
  return s.str();
}

}  // namespace fpctl
