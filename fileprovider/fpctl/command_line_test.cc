#include "fileprovider/fpctl/command_line.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string_view>

namespace fpctl {
namespace {

using ::testing::HasSubstr;

fp::Result<CommandLine, CommandFailure> parse(std::vector<std::string> args) {
  return parseCommandLine(args);
}

CommandLine parseOk(std::vector<std::string> args) {
  auto r = parseCommandLine(args);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message);
  return r.ok() ? *r : CommandLine{};
}

TEST(CommandLineTest, GlobalOptionsComeBeforeTheCommand) {
  CommandLine cl =
      parseOk({"--bundle", "/b/X.appex", "--domain=d.e", "--json", "--log", "/l", "ls", "@root"});
  EXPECT_TRUE(cl.global.json);
  EXPECT_EQ(cl.global.domain, "d.e");
  EXPECT_EQ(cl.global.bundle, std::filesystem::path("/b/X.appex"));
  EXPECT_EQ(cl.global.logFile, std::filesystem::path("/l"));
  EXPECT_EQ(cl.command, "ls");
  EXPECT_EQ(cl.operands, std::vector<std::string>{"@root"});
}

// --json is the one global option also read after the command, as people write it.
TEST(CommandLineTest, JsonIsReadAnywhere) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"status", "--json"}, {"ls", "--json", "/P"}, {"ls", "/P", "--json"}}) {
    CommandLine cl = parseOk(args);
    EXPECT_TRUE(cl.global.json) << ::testing::PrintToString(args);
    EXPECT_TRUE(asksForJson(args));
  }
  EXPECT_TRUE(asksForJson({"fetch", "--json"}));  // a usage error, printed as JSON
  EXPECT_FALSE(asksForJson({"--log", "--json", "ls"}));
  EXPECT_EQ(parseOk({"item", "--", "--json"}).operands, std::vector<std::string>{"--json"});
  EXPECT_THAT(helpText(), HasSubstr("--json may also follow it"));
}

TEST(CommandLineTest, CommandOptionsMixWithOperands) {
  CommandLine cl = parseOk({"create", "--type", "public.png", "/Docs", "pic.png", "--contents=/x"});
  EXPECT_EQ(cl.operands, (std::vector<std::string>{"/Docs", "pic.png"}));
  EXPECT_EQ(cl.contentType, "public.png");
  EXPECT_EQ(cl.contents, std::filesystem::path("/x"));
}

TEST(CommandLineTest, CreateTypeOptions) {
  EXPECT_EQ(parseOk({"create", "@root", "a"}).contentType, "public.data");
  EXPECT_EQ(parseOk({"create", "@root", "a", "--folder"}).contentType, "public.folder");
  EXPECT_EQ(parseOk({"create", "@root", "a", "--no-type"}).contentType, std::nullopt);
  EXPECT_FALSE(parse({"create", "@root", "a", "--folder", "--no-type"}).ok());
  EXPECT_FALSE(parse({"create", "@root", "a", "--type", "x", "--folder"}).ok());
}

TEST(CommandLineTest, ModifyChangedFields) {
  struct Case {
    std::vector<std::string> args;
    fp::ItemFields fields;
  } cases[] = {
      {{"modify", "i:1"}, 0},
      {{"modify", "i:1", "--name", "b"}, 2},
      {{"modify", "i:1", "--parent", "@root"}, 4},
      {{"modify", "i:1", "--contents", "/f"}, 1},
      {{"modify", "i:1", "--contents-changed"}, 1},
      {{"modify", "i:1", "--name", "b", "--parent", "/D", "--contents", "/f"}, 7},
      {{"modify", "i:1", "--fields", "8"}, 8},
      {{"modify", "i:1", "--fields", "3", "--parent", "f:x"}, 7},
  };
  for (const auto& c : cases) {
    CommandLine cl = parseOk(c.args);
    EXPECT_EQ(cl.changedFields(), c.fields) << ::testing::PrintToString(c.args);
  }
}

TEST(CommandLineTest, DashDashEndsOptions) {
  CommandLine cl = parseOk({"item", "--", "--odd-id"});
  EXPECT_EQ(cl.operands, std::vector<std::string>{"--odd-id"});
}

TEST(CommandLineTest, HelpForms) {
  struct Case {
    std::vector<std::string> args;
    std::string command;
  } cases[] = {
      {{"--help"}, ""},
      {{"-h"}, ""},
      {{"help"}, ""},
      {{"help", "fetch"}, "fetch"},
      {{"fetch", "--help"}, "fetch"},
      {{"--json", "modify", "--help"}, "modify"},
      {{"changes", "-h"}, "changes"},  // help wins over missing operands
  };
  for (const auto& c : cases) {
    CommandLine cl = parseOk(c.args);
    EXPECT_TRUE(cl.help) << ::testing::PrintToString(c.args);
    EXPECT_EQ(cl.command, c.command) << ::testing::PrintToString(c.args);
  }
}

TEST(CommandLineTest, MountOptions) {
  CommandLine cl = parseOk(
      {"mount", "/mnt/p", "--domain", "d", "--foreground", "--poll", "0.5", "--cache", "/c"});
  EXPECT_EQ(cl.operands, std::vector<std::string>{"/mnt/p"});
  EXPECT_EQ(cl.global.domain, "d");
  EXPECT_TRUE(cl.foreground);
  EXPECT_EQ(cl.pollSeconds, 0.5);
  EXPECT_EQ(cl.cacheDir, std::filesystem::path("/c"));
  EXPECT_FALSE(cl.cacheMaxBytes);
  EXPECT_FALSE(cl.cacheMaxAge);
  cl = parseOk({"mount", "/m", "--cache-max-size", "1.5GiB", "--cache-max-age", "12h"});
  EXPECT_EQ(cl.cacheMaxBytes, std::int64_t{3} << 29);
  EXPECT_EQ(cl.cacheMaxAge, std::chrono::hours(12));
  // The same domain twice is fine; two different ones are not.
  EXPECT_TRUE(parse({"--domain", "d", "mount", "/m", "--domain", "d"}).ok());
  EXPECT_FALSE(parse({"--domain", "d", "mount", "/m", "--domain", "e"}).ok());
}

TEST(CommandLineTest, UsageErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string message;  // a part of the message
    std::string command;  // whose usage line is shown
  } cases[] = {
      {{}, "no command", ""},
      {{"--json"}, "no command", ""},
      {{"frobnicate"}, "unknown command \"frobnicate\"", ""},
      {{"--ls"}, "did you mean the command \"ls\"", ""},
      {{"--domain"}, "--domain needs a value", ""},
      {{"--json=1", "ls"}, "takes no value", ""},
      {{"item"}, "missing ID", "item"},
      {{"changes", "@root"}, "missing operands", "changes"},
      {{"item", "a", "b"}, "unexpected operand \"b\"", "item"},
      {{"ls", "--log", "/l"}, "global option", "ls"},
      {{"ls", "--out", "x"}, "unknown option --out for ls", "ls"},
      {{"ls", "-l"}, "unknown option -l", "ls"},
      {{"modify", "i:1", "--fields", "0x4"}, "decimal", "modify"},
      {{"modify", "i:1", "--fields", "-1"}, "decimal", "modify"},
      {{"modify", "i:1", "--fields"}, "needs a value", "modify"},
      {{"mount", "/m", "--poll", "0"}, "positive", "mount"},
      {{"mount", "/m", "--cache-max-size", "lots"},
       "--cache-max-size takes a size such as 500M, 2G, 1.5GiB or a number of bytes, not \"lots\"",
       "mount"},
      {{"mount", "/m", "--cache-max-size", "-1G"}, "not \"-1G\"", "mount"},
      {{"mount", "/m", "--cache-max-age", "soon"},
       "--cache-max-age takes a duration of at least a second such as 30m, 12h or 7d, not "
       "\"soon\"",
       "mount"},
      {{"mount", "/m", "--cache-max-age", "0s"}, "not \"0s\"", "mount"},
      {{"fetch", "i:1", "--folder"}, "unknown option --folder", "fetch"},
      {{"help", "nope"}, "unknown command \"nope\"", ""},
      {{"thumbnails"}, "missing", "thumbnails"},
  };
  for (const auto& c : cases) {
    auto r = parse(c.args);
    ASSERT_FALSE(r.ok()) << ::testing::PrintToString(c.args);
    EXPECT_THAT(r.error().message, HasSubstr(c.message)) << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.error().command, c.command) << ::testing::PrintToString(c.args);
  }
}

TEST(CommandLineTest, ThumbnailsTakeManyIdentifiers) {
  CommandLine cl = parseOk({"thumbnails", "a", "b", "c", "--out-dir", "/t"});
  EXPECT_EQ(cl.operands.size(), 3u);
  EXPECT_EQ(cl.outDir, std::filesystem::path("/t"));
}

TEST(CommandLineTest, EveryCommandHasHelpWithItsUsage) {
  for (const char* c : {"domains", "item", "ls", "tree", "anchor", "changes", "fetch", "thumbnails",
                        "create", "modify", "delete", "mount"}) {
    std::string help = helpText(c);
    EXPECT_THAT(help, HasSubstr(std::string("usage: fpctl [GLOBAL OPTIONS] ") + c)) << c;
    EXPECT_THAT(helpText(), HasSubstr(std::string("  ") + c)) << c;
  }
  EXPECT_THAT(helpText("modify"), HasSubstr("Looks the item up first"));
  EXPECT_THAT(usageLine("create"),
              HasSubstr("[--folder] [--type UTI] [--no-type] [--contents FILE]"));
}

// Each command is one declaration: one name, a handler (help is answered by
// the parser), options that each record themselves, and a line in the overview.
TEST(CommandTableTest, EveryCommandIsDeclaredOnceWithItsHandler) {
  std::set<std::string_view> names;
  const std::string overview = helpText();
  for (const CommandSpec& c : commandTable()) {
    EXPECT_TRUE(names.insert(c.name).second) << c.name;
    EXPECT_EQ(c.run == nullptr, c.name == "help") << c.name;
    EXPECT_LE(c.minOperands, c.maxOperands) << c.name;
    EXPECT_EQ(findCommand(c.name), &c);
    std::set<std::string_view> options;
    for (const OptionSpec& o : c.options) {
      EXPECT_TRUE(options.insert(o.name).second) << c.name << " --" << o.name;
      EXPECT_NE(o.set, nullptr) << c.name << " --" << o.name;
    }
    EXPECT_THAT(overview, HasSubstr("\n  " + std::string(c.name))) << c.name;
  }
  EXPECT_EQ(names.size(), 19u);
  EXPECT_EQ(findCommand("nonsense"), nullptr);
}

}  // namespace
}  // namespace fpctl
