// fpctl's command line: the global options, the commands with their operands
// and options, and the help texts. Parsing is pure: it reads nothing but its
// arguments and reports every mistake as a usage failure (CommandFailure).
// Each command is declared once, as a CommandSpec, next to its handler (queries.cc, contents.cc,
// writes.cc, mount_command.cc, local_copies.cc); commandTable() lists them.
#ifndef FPCTL_COMMAND_LINE_H_
#define FPCTL_COMMAND_LINE_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fileprovider/fpctl/command_failure.h"
#include "fileprovider/item.h"
#include "fileprovider/result.h"

namespace fpctl {

// Options that come before the command.
struct GlobalOptions {
  bool json = false;
  std::optional<std::string> domain;
  std::optional<std::filesystem::path> bundle;
  std::optional<std::filesystem::path> logFile;
};

struct CommandLine {
  GlobalOptions global;
  // The command word ("ls", "fetch", ...); empty for `fpctl --help` alone.
  std::string command;
  // True when help was asked for: `fpctl --help`, `fpctl help [CMD]`, `fpctl CMD --help`.
  // `command` then names the command whose help to show (empty: the overview).
  bool help = false;
  // The operands, in order (identifiers are still unresolved text).
  std::vector<std::string> operands;

  // ls
  std::optional<std::string> page;
  // fetch
  std::optional<std::filesystem::path> out;
  // thumbnails
  std::optional<std::filesystem::path> outDir;
  // create: the template's content type; none for --no-type. Default "public.data".
  std::optional<std::string> contentType = "public.data";
  // create, modify
  std::optional<std::filesystem::path> contents;
  // modify
  std::optional<std::string> name;
  std::optional<std::string> parent;
  bool contentsChanged = false;
  fp::ItemFields extraFields = 0;
  // create: one of --folder, --type and --no-type was given.
  bool typeGiven = false;
  // mount
  bool foreground = false;
  std::optional<double> pollSeconds;
  std::optional<std::filesystem::path> cacheDir;
  std::optional<std::int64_t> cacheMaxBytes;
  std::optional<std::chrono::seconds> cacheMaxAge;
  bool nonempty = false;
  bool writeBack = false;
  bool noNotify = false;

  // The changed-field bits of `modify`: filename (2) for --name, parent (4) for
  // --parent, contents (1) for --contents or --contents-changed, plus --fields.
  fp::ItemFields changedFields() const;
};

// One option of a command: `--name` alone, or `--name VALUE` / `--name=VALUE`
// when `placeholder` is not empty.
struct OptionSpec {
  std::string_view name;  // without the leading "--"
  std::string_view placeholder;
  std::string_view help;
  // Records the option in the command line (`value` is empty for an option
  // without one); returns the mistake when the value is not acceptable.
  std::optional<std::string> (*set)(CommandLine& cl, const std::string& value) = nullptr;

  bool takesValue() const { return !placeholder.empty(); }
};

class CommandRun;  // a command being run (command_run.h)

// One command: its word, operands, options, help and what runs it.
struct CommandSpec {
  std::string_view name;
  std::string_view operands;  // synopsis of the operands
  std::size_t minOperands = 0;
  std::size_t maxOperands = 0;  // kManyOperands: any number
  std::string_view summary;
  std::string_view details;
  std::vector<OptionSpec> options;
  // Runs the command and returns the exit status; null for `help`, which the
  // parser answers. The extension is loaded before it runs unless it works
  // without one.
  int (*run)(CommandRun&) = nullptr;
  bool needsExtension = true;
};

inline constexpr std::size_t kManyOperands = static_cast<std::size_t>(-1);

// Every command, in the order the overview lists them.
const std::vector<CommandSpec>& commandTable();

// The command with word `name`, or null.
const CommandSpec* findCommand(std::string_view name);

// Parses the arguments after the program name; a mistake is a failure of the
// kind kUsage.
fp::Result<CommandLine, CommandFailure> parseCommandLine(const std::vector<std::string>& args);

// True when --json is among `args` (anywhere before a "--" that ends the
// options), even when the command line is otherwise wrong: a usage error is
// then printed as JSON too.
bool asksForJson(const std::vector<std::string>& args);

// True for a command word fpctl knows.
bool isCommand(std::string_view word);

// The help of one command (synopsis, description, options), or the overview of
// all commands and global options when `command` is empty. Ends with a newline.
std::string helpText(std::string_view command = {});

// "usage: fpctl [GLOBAL OPTIONS] ls [CONTAINER] [--page TEXT]" for a command,
// or the general usage line.
std::string usageLine(std::string_view command = {});

}  // namespace fpctl

#endif  // FPCTL_COMMAND_LINE_H_
